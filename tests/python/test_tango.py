"""The Tango device: served by DeviceTestContext in this process, and by
`vostelmotor tango --nodb` as an operator starts it, on 127.0.0.1 only."""
import os
import re
import socket
import subprocess
import sys
import time

import pytest

from helpers import windows_leg
from helpers.ioc import free_port, start_command, stop, wait_until
from helpers.paths import BUILD, ROOT

SARDANA_NAMES = {"Position", "DialPosition", "Offset", "Velocity", "Acceleration", "Deceleration",
                 "Limit_switches", "State", "Status"}
SETTINGS = {"HighPrecision", "Trigger", "TriggerWidth", "Tolerance", "Current"}


def test_help_needs_no_pytango():
    code = ("import sys; sys.modules['tango'] = None\n"
            "from vostelmotor_lab.cli import main\nmain(['tango', '--help'])")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD, ROOT]))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "--nodb" in result.stdout and "Sardana" in result.stdout


if windows_leg.file_left_out("test_tango.py"):  # said before the import that would fail there
    pytest.skip(windows_leg.file_left_out("test_tango.py"), allow_module_level=True)

tango = pytest.importorskip("tango")
# Imported while the test process's sys.path is whole: a test elsewhere in the
# same worker narrows sys.path for a while (test_simulated), and the test
# context imports psutil on first use.
from tango.test_context import DeviceTestContext  # noqa: E402


@pytest.fixture
def device(sim, monkeypatch):
    """A DeviceProxy to the device on a fresh drive, connected and standing at 780 nm."""

    from vostelmotor_lab.shared import SharedDrive
    from vostelmotor_lab.tango_device import GratingMotor
    monkeypatch.delenv("DISPLAY", raising=False)
    sim.use_wall_clock(2.0)
    shared = SharedDrive(calibration_hint="the DefinePosition command")
    GratingMotor.serve(shared)
    context = DeviceTestContext(GratingMotor, device_name="laser/grating/1", process=False, host="127.0.0.1",
                                port=free_port())
    context.start()
    try:
        proxy = tango.DeviceProxy(context.get_device_access())
        wait_until(lambda: proxy.State() == tango.DevState.ON, 30, what="connected")
        yield proxy
    finally:
        context.stop()
        assert shared.close()


def test_attributes_and_commands(device):
    assert SARDANA_NAMES | SETTINGS <= set(device.get_attribute_list())
    assert {"Stop", "Abort", "DefinePosition"} <= set(device.get_command_list())
    config = device.get_attribute_config("Position")
    assert config.unit == "nm" and (float(config.min_value), float(config.max_value)) == (760.0, 800.0)
    assert abs(device.Position - 780.0) < 1e-3 and device.Offset == 0.0
    assert list(device.Limit_switches) == [False, False, False]
    assert 0 < device.Tolerance < 0.1 and device.Status() == "Connected on USB0"


def test_position_write_returns_at_once_and_state_follows_the_move(device, sim):
    start = time.monotonic()
    device.Position = 786.0
    written = time.monotonic() - start
    assert device.State() == tango.DevState.MOVING  # before any poll: the write itself set it
    wait_until(lambda: device.State() != tango.DevState.MOVING, 60, what="the move's end")
    moved = time.monotonic() - start
    assert written < moved / 5, (written, moved)
    assert device.State() == tango.DevState.ON and not sim.moving()
    assert abs(device.Position - 786.0) <= device.Tolerance

    device.Position = 770.0
    wait_until(lambda: device.Position < 784.0, 30, what="under way")
    device.Stop()
    wait_until(lambda: device.State() == tango.DevState.ON, 30, what="stopped")
    assert 770.5 < device.Position < 784.0 and not sim.moving()
    assert "stopped" in device.Status()

    # Abort ends a move too.
    device.Position = 790.0
    wait_until(lambda: device.Position > 781.0, 30, what="under way")
    device.Abort()
    wait_until(lambda: device.State() == tango.DevState.ON, 30, what="aborted")
    assert device.Position < 789.5


def test_refused_writes_leave_the_grating_alone(device, sim):
    sim.clear_trace()
    for target in (900.0, 759.0):
        with pytest.raises(tango.DevFailed):
            device.Position = target
    with pytest.raises(tango.DevFailed, match="Trigger"):
        device.Trigger = "Sometimes"
    with pytest.raises(tango.DevFailed, match="positive"):
        device.Velocity = -1.0
    assert sim.command_count("VCS_MoveToPosition") == 0 and device.State() == tango.DevState.ON

    # Speed changes wait for a standing grating.
    device.Position = 790.0
    with pytest.raises(tango.DevFailed, match="moves"):
        device.Velocity = 5.0
    device.Stop()
    wait_until(lambda: device.State() == tango.DevState.ON, 30, what="stopped")


def test_settings_reach_the_controller(device, sim):
    sim.clear_trace()
    device.Velocity = 3.0
    device.Acceleration = 0.5
    assert abs(device.Velocity - 3.0) < 0.05 and abs(device.Acceleration - 0.5) < 0.02
    assert sim.command_count("VCS_SetPositionProfile") == 2
    device.HighPrecision = True
    device.Trigger = "Position compare"
    device.TriggerWidth = 0.25
    assert (device.HighPrecision, device.Trigger, device.TriggerWidth) == (True, "Position compare", 0.25)
    device.DefinePosition(790.0)
    assert abs(device.Position - 790.0) < 1e-3 and sim.command_count("VCS_MoveToPosition") == 0


def test_change_events_while_moving(device):
    seen, states = [], []
    ident = device.subscribe_event("Position", tango.EventType.CHANGE_EVENT,
                                   lambda event: seen.append(event.attr_value.value) if not event.err else None)
    state_ident = device.subscribe_event("State", tango.EventType.CHANGE_EVENT,
                                         lambda event: states.append(event.attr_value.value) if not event.err
                                         else states.append(event.errors[0].desc))
    try:
        device.Position = 784.0
        wait_until(lambda: device.State() == tango.DevState.ON, 60, what="the move's end")
        wait_until(lambda: seen and abs(seen[-1] - 784.0) < 0.01, 5, what="the last event")
        wait_until(lambda: states and states[-1] == tango.DevState.ON, 5, what="the last State event")
    finally:
        device.unsubscribe_event(ident)
        device.unsubscribe_event(state_ident)
    assert len([v for v in seen if 780.05 < v < 783.95]) >= 3, seen
    # The first event is the subscription's; then the move, and back.
    assert states[0] == tango.DevState.ON and tango.DevState.MOVING in states[1:], states
    assert set(states) == {tango.DevState.ON, tango.DevState.MOVING}, states


def _listening(pid, before=frozenset()):
    """The local addresses the process listens on (TCP). On Windows, those of
    the listening sockets not in `before` (what listened before the process
    started): under Wine no socket has an owning process."""
    if sys.platform == "win32":
        return [(address, port) for address, port in _listening_everywhere() if (address, port) not in before]
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                parts = line.split()
                if parts[3] == "0A" and parts[9] in inodes:  # LISTEN
                    address, port = parts[1].split(":")
                    found.append((address, int(port, 16)))
    return found


def _listening_everywhere():
    """Every listening TCP socket's address and port, the address written as
    /proc/net/tcp writes it (Windows)."""
    if sys.platform != "win32":
        return set()
    import psutil
    return {(socket.inet_aton(c.laddr.ip)[::-1].hex().upper() if "." in c.laddr.ip else c.laddr.ip, c.laddr.port)
            for c in psutil.net_connections(kind="tcp") if c.status == psutil.CONN_LISTEN}


def test_command_without_database_on_the_loopback(sim, tmp_path):
    port = free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD, ROOT]))
    env.pop("DISPLAY", None)
    log = tmp_path / "tango.log"
    before = _listening_everywhere()
    process = start_command(["tango", "--nodb", "--port", str(port), "--simulated"], env, log, tmp_path / "break",
                            module="vostelmotor_lab")
    try:
        address = wait_until(lambda: re.search(r"Serving (\S+)", log.read_text()), 30, what="the address").group(1)
        assert address == "tango://127.0.0.1:%d/laser/grating/1#dbase=no" % port
        proxy = wait_until(lambda: _proxy(address), 30, what="the device")
        wait_until(lambda: proxy.State() == tango.DevState.ON, 30, what="connected")
        ident = proxy.subscribe_event("State", tango.EventType.CHANGE_EVENT, lambda event: None)
        proxy.Position = 781.0
        wait_until(lambda: proxy.State() == tango.DevState.ON, 30, what="the move's end")
        assert abs(proxy.Position - 781.0) <= proxy.Tolerance
        from helpers.faces import run_docs_example
        run_docs_example("howto/tango.md", "test_tango.py", env, replace=[("45450", str(port))])
        listening = _listening(process.pid, before)
        assert listening and all(address == "0100007F" for address, _ in listening), listening
        proxy.unsubscribe_event(ident)
        stop(process)
        process.wait(30)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
    text = log.read_text()
    assert "Traceback" not in text and "disconnected" in text, text


def _proxy(address):
    try:
        proxy = tango.DeviceProxy(address)
        proxy.ping()
        return proxy
    except tango.DevFailed:
        return None
