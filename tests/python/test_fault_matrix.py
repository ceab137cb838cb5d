"""Every operation of a session against one failed command (at each of its
calls, or at every call), a pulled cable (failing commands taking no time,
0.1 s or 0.5 s each), a drive fault, an external disable and Ctrl+C, on the
simulated controller's virtual clock. Each call ends, either raises or leaves
everything right. Then either the next move on the same object lands or raises
before any motion (and, after what its message says to do, the one after it
lands, with the trigger outputs off), or, after disconnect(), a new object
reads the wavelength the grating stands at."""
import collections
import ctypes
import time

import pytest

from helpers import session
from helpers.library import HOME_INDEX
import vostelmotor

MOVES = ["plain", "high_precision", "steps", "position_compare", "motion_trigger", "stopped"]
OPS = {name: getattr(session, "op_" + name) for name in ["connect", "calibration"] + MOVES}
TIME_LIMIT = 60.0  # simulated seconds any one call may take
MID_MOVE = 0.3     # when mid-move events happen (the stop request comes at 0.5 s)
TOLERANCE = 20     # steps: the module's landing tolerance

NO_ANSWER = 5.0    # simulated seconds without an answer after which a move is given up
SLOW = {"cable_out": 0.0, "cable_out_0.1s": 0.1, "cable_out_0.5s": 0.5}  # time each failing command takes
THEN = ("next_move", "new_session")

TABLE = [(op, kind, then) for op in OPS for kind in ("once", "every") for then in THEN] + [
    (op, kind, then) for op in MOVES
    for kind in tuple(SLOW) + ("cable_back", "drive_fault", "external_disable", "ctrl_c") for then in THEN]


class OutOfTime(Exception):
    pass


class Rig:
    def __init__(self, sim, monkeypatch, capsys):
        self.sim, self.capsys, self.out = sim, capsys, ""
        self.clock = session.install(sim, monkeypatch)
        self.deadline = None
        monkeypatch.setattr(vostelmotor, "sleep", self.sleep)
        monkeypatch.setattr(time, "monotonic", sim.time)  # the module's no-answer clock

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
    elif kind in SLOW or kind == "cable_back":
        sim.set_failure_time(SLOW.get(kind, 0.0))
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


def motion_sent(sim):
    """Motion commands the controller accepted since the trace was cleared."""
    return [c for c in sim.trace()["commands"] if c["name"] == "VCS_MoveToPosition" and c["ok"]]


def check_no_answer_bound(rig, kind, error):
    """A move given up for want of answers gave up within 5 s of the last
    answer to the movement-state query, however slowly its commands failed."""
    if kind in SLOW and rig.op_name != "stopped":  # only a stop request ends that one sooner
        assert "did not answer" in str(error), error
    if error is None or "did not answer" not in str(error):
        return
    commands = rig.sim.trace()["commands"]
    answered = max(c["t"] for c in commands  # the move's start counts as the first answer
                   if c["name"] in ("VCS_GetMovementState", "VCS_MoveToPosition") and c["ok"])
    gave_up = min(c["t"] for c in commands if c["name"] == "VCS_SetQuickStopState" and c["t"] > answered)
    slow = SLOW.get(kind, 0.0)
    earliest = NO_ANSWER - (0.1 + 3 * slow) - slow  # one pass (pause and three commands) and a query ahead
    assert earliest - 1e-6 <= gave_up - answered <= NO_ANSWER + 1e-6, (answered, gave_up)


def check_next_move(rig, m, truth, where):
    """The next move on the same object lands, or raises before anything
    moves; after what its message says (connect again), the next one lands."""
    sim = rig.sim
    for attempt, target in enumerate((775.0, 777.0)):
        sim.clear_trace()
        landed, next_error = rig.call(lambda m_, c: m_.moveToWavelength(target), m)
        if next_error is None:
            reached = sim.position() + truth
            assert landed == pytest.approx(target, abs=0.01), where
            assert wavelength_at(m, reached) == pytest.approx(target, abs=0.01), where
            assert sim.output_level(3) == 0 and sim.pulse_count() == 0, where  # trigger outputs off
            return
        assert attempt == 0 and isinstance(next_error, ConnectionError), (where, next_error)
        assert motion_sent(sim) == [], (where, next_error)
        if not m._motor__connection:  # what "Motor not connected" and the error before it say to do
            assert m.connect() is True, where
            assert m._motor__offset == truth, where


def check_new_session(rig, m, truth, where):
    """disconnect(), then a new object reads where the grating stands."""
    sim = rig.sim
    m.disconnect()
    fresh = vostelmotor.motor()
    assert fresh.connect() is True, where
    assert fresh._motor__offset == truth, where
    assert fresh.getWavelength() == pytest.approx(wavelength_at(fresh, sim.position() + truth), abs=1e-9), where
    assert sim.output_level(3) == 0, where
    check_next_move(rig, fresh, truth, where)


def check_case(rig, op_name, kind, then, command=None, nth=None):
    sim = rig.sim
    m = rig.fresh_motor(connected=op_name != "connect")
    truth = m._motor__offset  # model position - controller position, from the factory calibration
    inject(rig, kind, command, nth)
    rig.op_name = op_name
    result, error = rig.call(OPS[op_name], m)
    out = rig.out
    check_no_answer_bound(rig, kind, error)
    sim.fail_next("*", 0)
    if command:
        sim.fail_next(command, 0)
    rig.clock.hooks = []
    sim.set_plugged(True)
    sim.set_failure_time(0)
    where = "%s / %s %s#%s then %s: %r" % (op_name, kind, command, nth, then, error)

    failed = error is not None or result is False
    # Failures that pass: the drive can be left stopped and enabled.
    strict = kind in ("once", "drive_fault", "external_disable", "ctrl_c")
    assert m.getMoving() is False, where
    if failed:  # nothing announces success
        assert "arrived at" not in out and "wavelength set to" not in out, where
    if op_name in MOVES and isinstance(error, ConnectionError) and not m._motor__connection:
        assert "connect() again" in str(error), where  # the way back
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

    if then == "next_move":
        check_next_move(rig, m, truth, where)
    else:
        check_new_session(rig, m, truth, where)


@pytest.mark.parametrize("op_name, kind, then", TABLE)
def test_fault_matrix(sim, monkeypatch, capsys, op_name, kind, then):
    rig = Rig(sim, monkeypatch, capsys)
    if kind in ("once", "every"):
        sent = injections(rig, op_name)
        for command, count in sorted(sent.items()):
            for nth in (range(1, count + 1) if kind == "once" else [None]):
                check_case(rig, op_name, kind, then, command, nth)
    else:
        check_case(rig, op_name, kind, then)
