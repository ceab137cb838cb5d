"""The IOC's worker when the module raises: every exception of a call ends up
in STATE and MESSAGE, a lost controller is connected again with a fresh
object, and requests never leave DMOV at 0."""
import queue
import time

import pytest

from helpers import paths  # noqa: F401 (the checkout on sys.path)
from vostelmotor_lab.drive import DISCONNECTED, ERROR, IDLE, Drive


class ScriptedMotor:
    """The motor's public methods; `failure` is raised by the next move."""
    made = []
    attempts = 0
    failure = None
    load_failure = None

    def __init__(self, drive):
        ScriptedMotor.attempts += 1
        if ScriptedMotor.load_failure is not None:
            raise ScriptedMotor.load_failure
        ScriptedMotor.made.append(self)
        self.connected = False

    def connect(self, usb):
        self.connected = True
        return True

    def disconnect(self):
        self.connected = False

    def getWavelengthMinMax(self):
        return [760.0, 800.0]

    def getVelocityParameter(self):
        return (2.0, 4.0, 4.0)

    def getWavelength(self):
        return 780.0

    def getCurrent(self):
        return 0

    def moveToWavelength(self, wavelength, highPrecision=0, trigger=0):
        failure, ScriptedMotor.failure = ScriptedMotor.failure, None
        if failure is not None:
            raise failure
        return wavelength

    def stopMovement(self):
        pass


@pytest.fixture
def drive():
    ScriptedMotor.made, ScriptedMotor.attempts = [], 0
    ScriptedMotor.failure = ScriptedMotor.load_failure = None
    reports = queue.Queue()
    started = []

    def start():
        d = Drive(reports.put, motor_class=ScriptedMotor)
        d.reconnect_every = d.idle_poll = 0.05
        d.start()
        started.append(d)
        return d, reports

    yield start
    for d in started:
        assert d.close(10)


def wait_for(reports, predicate, timeout=10):
    """Reports up to and including the first one that satisfies predicate."""
    seen = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            report = reports.get(timeout=0.1)
        except queue.Empty:
            continue
        seen.append(report)
        if predicate(report):
            return seen
    raise AssertionError("no such report in %r" % seen)


@pytest.mark.parametrize("failure, state, objects", [
    (RuntimeError("a move is already running"), ERROR, 1),
    (ValueError("wavelength is not a number"), ERROR, 1),
    (ConnectionError("controller lost"), DISCONNECTED, 2),
])
def test_a_failed_move_is_reported_and_the_move_ends(drive, failure, state, objects):
    d, reports = drive()
    wait_for(reports, lambda r: r.get("state") == IDLE)
    ScriptedMotor.failure = failure
    d.move_to(790.0)
    seen = wait_for(reports, lambda r: r.get("done"))
    failed = [r for r in seen if r.get("state") == state]
    assert failed and failed[0]["message"].endswith("%s: %s" % (type(failure).__name__, failure))
    if state == DISCONNECTED:
        wait_for(reports, lambda r: r.get("state") == IDLE)  # connected again
    assert len(ScriptedMotor.made) == objects
    d.move_to(785.0)
    assert any(r.get("message") == "Arrived at 785.0000 nm" for r in wait_for(reports, lambda r: r.get("done")))


def test_without_the_command_library_requests_are_dropped(drive):
    ScriptedMotor.load_failure = ImportError("EposCMD64.dll not found")
    d, reports = drive()
    seen = wait_for(reports, lambda r: r.get("state") == DISCONNECTED)
    assert "ImportError: EposCMD64.dll not found" in seen[-1]["message"]
    d.move_to(790.0)
    wait_for(reports, lambda r: r.get("done"))
    time.sleep(0.3)
    assert ScriptedMotor.attempts == 1  # no second attempt
