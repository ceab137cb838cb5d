"""The IOC inside the test process, on 127.0.0.1 only, beside the simulated
controller, and what the tests read through their Channel Access clients.
Needs caproto: a test module importing this is skipped without it."""
import asyncio
import math
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("caproto")
import caproto  # noqa: E402
from caproto.threading.client import Context  # noqa: E402

from . import paths  # noqa: E402,F401 (the checkout on sys.path)
from vostelmotor_ioc.server import GratingMotorIOC  # noqa: E402

LOOPBACK = {
    "EPICS_CA_AUTO_ADDR_LIST": "NO",
    "EPICS_CA_ADDR_LIST": "127.0.0.1",
    "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
    "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
    "EPICS_CAS_BEACON_ADDR_LIST": "127.0.0.1",
}


def _ephemeral_start():
    """Where the ports the system hands out for port 0 begin (Linux's, which
    Wine's sockets are too; Windows' own range starts higher still)."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_port():
    """A port free on 127.0.0.1 for both TCP and UDP, with the next one free
    as well: a CA server's repeater and beacons and a PVA server's searches
    use port + 1. Both lie below the ports handed out for port 0, where a
    server of another test process that asked for any port may sit: a server
    bound there with SO_REUSEADDR, as CA servers bind, would take its search
    datagrams, and its clients would never find it."""
    high = min(_ephemeral_start(), 49152) - 2
    for _ in range(100):
        port = random.randint(10000, high)
        try:
            for candidate in (port, port + 1):
                for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                    with socket.socket(socket.AF_INET, kind) as s:
                        s.bind(("127.0.0.1", candidate))
        except OSError:
            continue
        return port
    raise RuntimeError("no free port on 127.0.0.1")


def loopback_environment(port):
    return dict(LOOPBACK, EPICS_CA_SERVER_PORT=str(port), EPICS_CA_REPEATER_PORT=str(port + 1),
                EPICS_CAS_BEACON_PORT=str(port + 1))


def start_repeater(env):
    """caproto's CA repeater on 127.0.0.1 at env's repeater port, in a process
    of its own; returns that process once the repeater listens."""
    port = int(env["EPICS_CA_REPEATER_PORT"])
    process = subprocess.Popen([sys.executable, "-c", "from caproto.sync.repeater import run; run('127.0.0.1')"],
                               env=dict(os.environ, **env), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                break  # taken: the repeater listens
        time.sleep(0.05)
    return process


class _LoopbackSocket(socket.socket):
    """Binds the loopback where the wildcard address is asked for."""

    def bind(self, address):
        host, port = address[:2]
        super().bind(("127.0.0.1" if host in ("", "0.0.0.0") else host, port))


class _LoopbackSockets:
    socket = _LoopbackSocket

    def __getattr__(self, name):
        return getattr(socket, name)


def keep_clients_on_loopback(setattr=setattr):
    """caproto's client registers with a repeater at caproto's local address
    and binds its UDP socket to the wildcard address: keep both on the
    loopback whatever the machine's interfaces are."""
    setattr(caproto, "get_local_address", lambda: "127.0.0.1")
    bcast_socket = caproto.bcast_socket
    setattr(caproto, "bcast_socket", lambda socket_module=None: bcast_socket(_LoopbackSockets()))


class ServedIoc:
    """The IOC's server on an event loop of its own thread."""

    def __init__(self, prefix, **options):
        self.ioc = GratingMotorIOC(prefix=prefix, **options)
        self.prefix = prefix
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, name="ioc-under-test", daemon=True)
        self._thread.start()
        assert self._ready.wait(10), "IOC did not start"

    def _serve(self):
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        self.task = self.loop.create_task(self.ioc.serve(interfaces=["127.0.0.1"]))
        self.loop.call_soon(self._ready.set)
        try:
            self.loop.run_until_complete(self.task)
        except asyncio.CancelledError:
            pass
        finally:
            self.loop.close()

    def stop(self, timeout=30):
        """Ends the server; its shutdown stops a move and disconnects."""
        if not self._thread.is_alive():
            return
        self.loop.call_soon_threadsafe(self.task.cancel)
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "IOC did not stop within %s s" % timeout


# `python -m vostelmotor_ioc` (or another server's module) in a process of its
# own. On Windows the server runs in a process group of its own, so that a
# CTRL_BREAK_EVENT reaches it alone. Wine cannot deliver console control
# events (GenerateConsoleCtrlEvent fails there); then a file that the test
# creates makes a thread in the server raise SIGBREAK inside it, where the
# console's control handler would have raised it, and the server's own
# handler takes it from there.
BREAK_ON_FILE = """import os, runpy, signal, sys, threading, time
def wait_for_file(path=sys.argv.pop(1)):
    while not os.path.exists(path):
        time.sleep(0.1)
    signal.raise_signal(signal.SIGBREAK)
threading.Thread(target=wait_for_file, daemon=True).start()
sys.argv[0] = module = sys.argv.pop(1)
runpy.run_module(module, run_name="__main__", alter_sys=True)
"""


def start_command(args, env, log, break_file, module="vostelmotor_ioc"):
    """`python -m MODULE ARGS`, its output in the file `log`; break_file is
    where stop() makes the file that stops it under Wine."""
    if sys.platform == "win32":
        process = subprocess.Popen([sys.executable, "-c", BREAK_ON_FILE, str(break_file), module, *args], env=env,
                                   stdout=open(log, "w"), stderr=subprocess.STDOUT,
                                   creationflags=subprocess.CREATE_NEW_PROCESS_GROUP)
        process.break_file = str(break_file)
        return process
    return subprocess.Popen([sys.executable, "-m", module, *args], env=env,
                            stdout=open(log, "w"), stderr=subprocess.STDOUT)


def stop(process):
    """Stops a server started by start_command as an operator's tools do:
    SIGTERM on Linux, Ctrl+Break on Windows."""
    if sys.platform != "win32":
        process.send_signal(signal.SIGTERM)
        return
    # Through the Windows API, not send_signal: when the event cannot be sent,
    # CPython 3.11's os.kill goes on to TerminateProcess.
    import ctypes
    if not ctypes.WinDLL("kernel32").GenerateConsoleCtrlEvent(signal.CTRL_BREAK_EVENT, process.pid):  # Wine
        open(process.break_file, "w").close()


def private_network_command():
    """The command that runs a program in a network namespace with only the
    loopback, or None with the reason. libca binds its UDP sockets to every
    interface and cannot be told otherwise: its clients run in there."""
    if sys.platform == "win32":
        return None, "Windows: no network namespace to keep pyepics, which binds every interface, on the loopback"
    if not (sys.platform.startswith("linux") and shutil.which("unshare") and shutil.which("ip")):
        return None, "needs Linux with unshare and ip"
    command = ["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"]
    probe = subprocess.run(command + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        return None, "no network namespace here: %s" % probe.stderr.strip()
    return command, None


# How long a client waits for its channels: an IOC started in a child process
# first imports its packages, which on a loaded machine (the test command's
# legs side by side, a build beside them) takes well over 10 s.
CONNECT_TIMEOUT = 60


def pvs(ctx, prefix, *suffixes):
    found = ctx.get_pvs(*[prefix + s for s in suffixes], timeout=CONNECT_TIMEOUT)
    for pv in found:
        pv.wait_for_connection(timeout=CONNECT_TIMEOUT)
    return found if len(found) > 1 else found[0]


def value(pv, **kwargs):
    data = pv.read(timeout=10, **kwargs).data
    if pv.channel.native_data_type in (caproto.ChannelType.CHAR, caproto.ChannelType.STRING):
        raw = data[0] if pv.channel.native_data_type == caproto.ChannelType.STRING else data.tobytes()
        return raw.split(b"\0")[0].decode()
    return data[0]


def put(pv, data, timeout=60):
    """Writes with completion: the CA status name of the answer
    ("ECA_NORMAL", or "ECA_PUTFAIL" for a refused write)."""
    return pv.write(data, wait=True, timeout=timeout).status.name


def severity(pv):
    return pv.read(data_type="time", timeout=10).metadata.severity


def wait_until(predicate, timeout=30, every=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = predicate()
        if result:
            return result
        time.sleep(every)
    raise AssertionError("timed out after %s s waiting for %s" % (timeout, what))


def close(a, b, tolerance=1e-3):
    return math.isclose(a, b, abs_tol=tolerance)


CLIENT_EXAMPLES_PAGE = os.path.join("docs", "howto", "ioc.md")


def client_examples(test_file):
    """The Python examples of the IOC's page and of the README that talk to a
    running IOC, each marked `# tested by tests/python/<test_file>` as its
    first line."""
    return paths.marked_examples(test_file, CLIENT_EXAMPLES_PAGE, "README.md")


def run_client_example(code, folder):
    """Runs an example in a process of its own; what its comments promise
    (print(...)  # text) must be in its output."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([paths.BUILD, os.path.dirname(os.path.dirname(__file__))]))
    run = "from helpers import ioc\nioc.keep_clients_on_loopback()\n" + code
    result = subprocess.run([sys.executable, "-c", run], cwd=str(folder), env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    for promised in re.findall(r"print\(.*\)\s*#\s*(\S+)$", code, flags=re.M):
        assert promised in result.stdout, (promised, result.stdout)
