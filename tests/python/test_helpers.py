"""The checks the other tests rely on: expect() passes exactly the recorded
sequence and consumes it, and fails on anything missing, left over or sent
with other arguments; a test's real windows are gone before a later test's
threads run."""
import ctypes
import os
import subprocess
import sys
from unittest.mock import ANY

import pytest

from helpers import paths
from helpers.library import FakeLibrary, expect


def recorded():
    lib = FakeLibrary()
    lib.VCS_SetEnableState(7, ctypes.c_ushort(0), ctypes.byref(ctypes.c_uint32(0)))
    lib.VCS_MoveToPosition(7, ctypes.c_ushort(0), -40, 0, 1, ctypes.byref(ctypes.c_uint32(0)))
    return lib


ENABLE = ("VCS_SetEnableState", [7, 0, ("ref", 0)])
MOVE = ("VCS_MoveToPosition", [7, 0, -40, 0, 1, ("ref", 0)])


@pytest.mark.parametrize("expected", [
    [ENABLE],                                                            # a call left over
    [ENABLE, MOVE, ENABLE],                                              # a call missing
    [MOVE, ENABLE],                                                      # another order
    [ENABLE, ("VCS_MoveToPosition", [7, 0, 40, 0, 1, ("ref", 0)])],      # another argument
    [ENABLE, ("VCS_MoveToPosition", [7, 0, -40, 0, 1])],                 # an argument missing
    [],
])
def test_anything_but_the_recorded_sequence_fails(expected):
    with pytest.raises(AssertionError):
        expect(recorded(), expected)


def test_the_recorded_sequence_passes_and_is_consumed():
    lib = recorded()
    expect(lib, [ENABLE, ("VCS_MoveToPosition", [7, 0, -40, ANY, 1, ANY])])
    assert lib.calls == []
    lib.VCS_ClearFault(7, ctypes.c_ushort(0), ctypes.byref(ctypes.c_uint32(0)))
    expect(lib, [("VCS_ClearFault", [7, 0, ("ref", 0)])])


# A later test whose worker thread runs a full collection. Automatic
# collections are off in that run, so that none happens to free the window
# on the main thread first.
COLLECTING_ELSEWHERE = """
import gc
import threading

gc.disable()


def test_a_worker_thread_collects():
    worker = threading.Thread(target=gc.collect)
    worker.start()
    worker.join()
"""


def test_a_real_window_is_freed_before_a_later_test_s_thread_collects(tmp_path, display):
    if not os.path.exists(paths.SIM_LIBRARY):
        pytest.skip("simulated controller not built")
    later = tmp_path / "test_collecting_elsewhere.py"
    later.write_text(COLLECTING_ELSEWHERE)
    # The operator recalibrates in the real window that the recovery opens.
    window_test = os.path.join(paths.ROOT, "tests", "python", "test_motion_on_controller.py")
    window_test += "::test_move_into_a_limit_switch"
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", paths.ROOT,
                          window_test, str(later)], cwd=paths.ROOT, capture_output=True, text=True, timeout=300)
    # Freed by the worker, the window's Tcl interpreter aborts the process.
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[:2000]
    assert "2 passed" in run.stdout
