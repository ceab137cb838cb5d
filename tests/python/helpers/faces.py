"""The motor served on every face at once inside the test process: Channel
Access and PVAccess from one asyncio loop of their own thread, Tango from a
device server thread, all on one SharedDrive beside the simulated controller,
on 127.0.0.1 only. Needs caproto and p4p (Tango: pytango)."""
import asyncio
import threading

import pytest

pytest.importorskip("caproto")
pytest.importorskip("p4p")

from . import paths  # noqa: E402,F401 (the checkout on sys.path)
from vostelmotor_ioc.pva import PvaMotor  # noqa: E402
from vostelmotor_ioc.server import GratingMotorIOC  # noqa: E402
from vostelmotor_lab.shared import SharedDrive  # noqa: E402


class ServedFaces:
    """CA (when `ca`) and PVA on one drive; `tango()` adds the Tango device."""

    def __init__(self, prefix, ca=True, pva=True, **options):
        self.prefix = prefix
        self.shared = SharedDrive(calibration_hint=prefix + "CALIBRATE", **options)
        self.ioc = GratingMotorIOC(prefix=prefix, shared=self.shared) if ca else None
        self.pva = None
        self.tango_context = None
        self._ready = threading.Event()
        self._failed = None
        self._thread = threading.Thread(target=self._serve, args=(pva,), name="faces-under-test", daemon=True)
        self._thread.start()
        assert self._ready.wait(20), "the faces did not start"
        if self._failed is not None:
            raise self._failed

    def _serve(self, pva):
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        self.task = self.loop.create_task(self._main(pva))
        try:
            self.loop.run_until_complete(self.task)
        except asyncio.CancelledError:
            pass
        finally:
            left = asyncio.all_tasks(self.loop)
            for task in left:
                task.cancel()
            self.loop.run_until_complete(asyncio.gather(*left, return_exceptions=True))
            self.loop.close()

    async def _main(self, pva):
        try:
            if pva:
                self.pva = PvaMotor(self.shared, self.prefix).start()
            self.shared.start()
        except Exception as exc:
            self._failed = exc
            raise
        finally:
            self._ready.set()
        if self.ioc is not None:
            await self.ioc.serve(interfaces=["127.0.0.1"])
        else:
            await asyncio.Event().wait()

    def pva_context(self, flavour="thread"):
        """A p4p client that finds the PVA face: the thread flavour, or the
        asyncio one (as ophyd-async makes it, to be made in the loop that uses it)."""
        if flavour == "thread":
            from p4p.client.thread import Context
            return Context("pva", conf=self.pva.conf(), useenv=False)
        from p4p.client.asyncio import Context
        return Context("pva", nt=False, conf=self.pva.conf(), useenv=False)

    def stop(self, timeout=30):
        if self.tango_context is not None:
            self.tango_context.stop()
            self.tango_context = None
        if self._thread.is_alive():
            if self.pva is not None:
                self.loop.call_soon_threadsafe(self.pva.stop)
            self.loop.call_soon_threadsafe(self.task.cancel)
            self._thread.join(timeout)
            assert not self._thread.is_alive(), "the faces did not stop within %s s" % timeout
        assert self.shared.close(timeout), "the drive did not stop"


def run_docs_example(page, test_file, env, replace=()):
    """Runs the ```python block of docs/<page> that names `test_file` on its
    first line, and the README's that names it, each in a process of its own
    with `env`, after the textual replacements `replace` ((old, new) pairs,
    each found in every block); what their comments promise
    (print(...)  # text) must be in their output. Returns the page's output."""
    import os
    import re
    import subprocess
    import sys
    page_examples = paths.marked_examples(test_file, os.path.join("docs", page))
    assert len(page_examples) == 1, "docs/%s: one example for %s wanted" % (page, test_file)
    outputs = []
    for code in page_examples + paths.marked_examples(test_file, "README.md"):
        for old, new in replace:
            assert old in code, old
            code = code.replace(old, new)
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stdout + result.stderr
        for promised in re.findall(r"print\(.*\)\s*#\s*(.+)$", code, flags=re.M):
            assert promised.strip() in result.stdout, (promised, result.stdout)
        outputs.append(result.stdout)
    return outputs[0]
