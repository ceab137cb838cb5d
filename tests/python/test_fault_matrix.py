"""Every operation of a session against one failed command (at each of its
calls, or at every call), a pulled cable, a drive fault, an external disable
and Ctrl+C, on the simulated controller's virtual clock. Each call ends,
either raises or leaves everything right, and the next move lands or raises
(and the one after it lands)."""
import collections
import ctypes

import pytest

from helpers import session
from helpers.library import HOME_INDEX
import vostelmotor

MOVES = ["plain", "high_precision", "steps", "position_compare", "motion_trigger", "stopped"]
OPS = {name: getattr(session, "op_" + name) for name in ["connect", "calibration"] + MOVES}
TIME_LIMIT = 60.0  # simulated seconds any one call may take
MID_MOVE = 0.3     # when mid-move events happen (the stop request comes at 0.5 s)
TOLERANCE = 20     # steps: the module's landing tolerance

TABLE = [(op, kind) for op in OPS for kind in ("once", "every")] + [
    (op, kind) for op in MOVES
    for kind in ("cable_out", "cable_back", "drive_fault", "external_disable", "ctrl_c")]


class OutOfTime(Exception):
    pass


class Rig:
    def __init__(self, sim, monkeypatch, capsys):
        self.sim, self.capsys, self.out = sim, capsys, ""
        self.clock = session.install(sim, monkeypatch)
        self.deadline = None
        monkeypatch.setattr(vostelmotor, "sleep", self.sleep)

    def sleep(self, seconds):
        self.clock.sleep(seconds)
        if self.deadline is not None and self.sim.time() > self.deadline:
            raise OutOfTime("still running after %g simulated seconds" % TIME_LIMIT)

    def fresh_motor(self, connected=True):
        self.sim.reset(forget_stored=True)
        self.clock.hooks = []
        m = vostelmotor.motor()
        if connected:
            assert m.connect() is True
        return m

    def call(self, op, m):
        """Runs op; returns (returned value, exception)."""
        self.deadline = self.sim.time() + TIME_LIMIT
        self.capsys.readouterr()
        try:
            return op(m, self.clock), None
        except OutOfTime:
            raise
        except BaseException as e:  # Ctrl+C included
            return None, e
        finally:
            self.deadline = None
            self.out = self.capsys.readouterr().out

    def controller(self):
        """(stored model position, controller position, drive state, output 3) read beside the module."""
        dll = ctypes.CDLL(self.sim.path)
        err, node = ctypes.c_uint32(0), ctypes.c_ushort(0)
        handle = dll.VCS_OpenDevice(b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB0", ctypes.byref(err))
        home, count = ctypes.c_int32(0), ctypes.c_int(0)
        assert dll.VCS_GetObject(handle, node, HOME_INDEX, 0, ctypes.byref(home), 4, ctypes.byref(count),
                                 ctypes.byref(err))
        dll.VCS_CloseDevice(handle, ctypes.byref(err))
        return home.value, self.sim.position()


def injections(rig, op_name):
    """The commands the operation sends when nothing fails, and how often."""
    m = rig.fresh_motor(connected=op_name != "connect")
    rig.sim.clear_trace()
    _, error = rig.call(OPS[op_name], m)
    assert error is None
    return collections.Counter(c["name"] for c in rig.sim.trace()["commands"])


def inject(rig, kind, command=None, nth=None):
    sim, clock = rig.sim, rig.clock
    if kind == "once":
        sim.fail_at(command, nth)
    elif kind == "every":
        sim.fail_next(command, -1)
    elif kind in ("cable_out", "cable_back"):
        clock.at(MID_MOVE, lambda: sim.set_plugged(False))
        if kind == "cable_back":
            clock.at(MID_MOVE + 2.0, lambda: sim.set_plugged(True))
    elif kind == "drive_fault":
        clock.at(MID_MOVE, sim.drive_fault)
    elif kind == "external_disable":
        clock.at(MID_MOVE, sim.external_disable)
    elif kind == "ctrl_c":
        def interrupt():
            raise KeyboardInterrupt
        clock.at(MID_MOVE, interrupt)


def wavelength_at(m, model_position):
    return m._motor__motorpositionToWavelength(model_position)


def check_case(rig, op_name, kind, command=None, nth=None):
    sim = rig.sim
    m = rig.fresh_motor(connected=op_name != "connect")
    truth = m._motor__offset  # model position - controller position, from the factory calibration
    inject(rig, kind, command, nth)
    result, error = rig.call(OPS[op_name], m)
    out = rig.out
    sim.fail_next("*", 0)
    if command:
        sim.fail_next(command, 0)
    rig.clock.hooks = []
    sim.set_plugged(True)
    where = "%s / %s %s#%s: %r" % (op_name, kind, command, nth, error)

    failed = error is not None or result is False
    # Failures that pass: the drive can be left stopped and enabled.
    strict = kind in ("once", "drive_fault", "external_disable", "ctrl_c")
    assert m.getMoving() is False, where
    if failed:  # nothing announces success
        assert "arrived at" not in out and "wavelength set to" not in out, where
    if op_name == "calibration":
        home, position = rig.controller()
        truth = home - position  # the old calibration or the new one, whichever the controller holds
        if not failed:
            assert wavelength_at(m, home) == pytest.approx(781.0, abs=0.01), where
    if not failed:
        home, position = rig.controller()
        assert not sim.moving() and sim.drive_state() == "enabled", where
        assert sim.output_level(3) == 0, where
        assert home == position + truth, where
        if m._motor__connection:
            assert m._motor__offset == truth, where
        if isinstance(result, float):
            assert result == pytest.approx(wavelength_at(m, position + truth), abs=1e-9), where
    elif op_name in MOVES and strict:
        assert not sim.moving() and sim.drive_state() == "enabled", where
        assert sim.output_level(3) == 0, where

    # The next move lands or raises; the one after it lands.
    for attempt, target in enumerate((775.0, 777.0)):
        if not m._motor__connection:
            assert m.connect() is True, where
            assert m._motor__offset == truth, where
        landed, next_error = rig.call(lambda m_, c: m_.moveToWavelength(target), m)
        if next_error is None:
            reached = sim.position() + truth
            assert landed == pytest.approx(target, abs=0.01), where
            assert wavelength_at(m, reached) == pytest.approx(target, abs=0.01), where
            break
        assert attempt == 0 and isinstance(next_error, ConnectionError), (where, next_error)


@pytest.mark.parametrize("op_name, kind", TABLE)
def test_fault_matrix(sim, monkeypatch, capsys, op_name, kind):
    rig = Rig(sim, monkeypatch, capsys)
    if kind in ("once", "every"):
        sent = injections(rig, op_name)
        for command, count in sorted(sent.items()):
            for nth in (range(1, count + 1) if kind == "once" else [None]):
                check_case(rig, op_name, kind, command, nth)
    else:
        check_case(rig, op_name, kind)

