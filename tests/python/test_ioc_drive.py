"""The worker that owns the motor for the IOC, the panel and the check.

First against a scripted motor (every exception of a call ends up in STATE
and MESSAGE and in the request's future, a lost controller is connected again
with a fresh object, requests never leave DMOV at 0), then against the
simulated controller on the wall clock (futures end when the move has ended:
arrived, stopped, replaced, limit switch, lost)."""
import os
import queue
import threading
import time

import pytest

from helpers import paths  # noqa: F401 (the checkout on sys.path)
import vostelmotor
from vostelmotor_lab.drive import (DISCONNECTED, ERROR, IDLE, Drive, MoveResult,
                                   ServedMotor)


class ScriptedMotor:
    """The motor's public methods; `failure` is raised by the next move,
    `hold` (an Event) keeps a move running until it is set or stopped."""
    made = []
    attempts = 0
    failure = None
    load_failure = None
    hold = None

    def __init__(self):
        ScriptedMotor.attempts += 1
        if ScriptedMotor.load_failure is not None:
            raise ScriptedMotor.load_failure
        ScriptedMotor.made.append(self)
        self.connected = False
        self.stopped = False
        self.speed = (2.0, 4.0, 4.0)
        self.position = 780.0

    def connect(self, usb):
        self.connected = True
        return True

    def disconnect(self):
        self.connected = False

    def getWavelengthMinMax(self):
        return [760.0, 800.0]

    def getVelocityParameter(self):
        return self.speed

    def setVelocityParameter(self, velocity, acceleration, deceleration):
        self.speed = (velocity, acceleration, deceleration)

    def getWavelength(self):
        return self.position

    def getCurrent(self):
        return 0

    def moveToWavelength(self, wavelength, highPrecision=0, trigger=0):
        failure, ScriptedMotor.failure = ScriptedMotor.failure, None
        if failure is not None:
            raise failure
        while ScriptedMotor.hold is not None and not ScriptedMotor.hold.is_set() and not self.stopped:
            vostelmotor.sleep(0.01)
        if self.stopped:
            self.stopped = False
            self.position = (self.position + wavelength) / 2
            return self.position
        self.position = wavelength
        # The module prints through the name print looked up in its namespace.
        getattr(vostelmotor, "print", print)("arrived at %.2fnm" % wavelength)
        return wavelength

    def stopMovement(self):
        self.stopped = True


@pytest.fixture
def drive():
    ScriptedMotor.made, ScriptedMotor.attempts = [], 0
    ScriptedMotor.failure = ScriptedMotor.load_failure = ScriptedMotor.hold = None
    started = []

    def start(**options):
        reports = queue.Queue()
        d = Drive(reports.put, motor_class=options.pop("motor_class", ScriptedMotor), **options)
        d.reconnect_every = d.idle_poll = 0.05
        d.start()
        started.append(d)
        return d, reports

    yield start
    if ScriptedMotor.hold is not None:
        ScriptedMotor.hold.set()
    for d in started:
        assert d.close(30)


def wait_for(reports, predicate, timeout=20):
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


def drain(reports):
    while not reports.empty():
        reports.get()


def connected(drive, **options):
    d, reports = drive(**options)
    wait_for(reports, lambda r: r.get("state") == IDLE)
    return d, reports


@pytest.mark.parametrize("failure, state, outcome, objects", [
    (RuntimeError("a move is already running"), ERROR, "failed", 1),
    (ValueError("No real roots: The discriminant is negative."), ERROR, "failed", 1),
    (ConnectionError("controller lost"), DISCONNECTED, "lost", 2),
])
def test_a_failed_move_ends_its_future_and_the_next_one_arrives(drive, failure, state, outcome, objects):
    d, reports = connected(drive)
    ScriptedMotor.failure = failure
    result = d.move_to(790.0).result(10)
    assert result.outcome == outcome and str(failure) in result.message
    seen = wait_for(reports, lambda r: r.get("done"), 1)
    failed = [r for r in seen if r.get("state") == state]
    assert failed and failed[0]["message"].endswith("%s: %s" % (type(failure).__name__, failure))
    if state == DISCONNECTED:
        wait_for(reports, lambda r: r.get("state") == IDLE)  # connected again
    assert len(ScriptedMotor.made) == objects
    assert d.move_to(785.0).result(10) == MoveResult("arrived", 785.0, "arrived at 785.0000 nm")


def test_replaced_and_stopped_moves_end_in_order(drive):
    d, reports = connected(drive)
    ScriptedMotor.hold = threading.Event()
    first = d.move_to(790.0)
    wait_for(reports, lambda r: r.get("moving"))
    second, third = d.move_to(770.0), d.move_to(775.0)  # the second never starts
    assert second.result(10).outcome == "replaced" and second.result().reached is None
    assert first.result(10).outcome == "replaced"
    assert first.result().reached == pytest.approx(785.0)  # halfway, where the stop left it
    wait_for(reports, lambda r: r.get("moving"))
    d.stop()
    assert third.result(10).outcome == "stopped"
    ScriptedMotor.hold.set()
    assert d.move_to(781.0).result(10).outcome == "arrived"


@pytest.mark.parametrize("call, error", [
    (lambda d: d.move_to(float("nan")), ValueError),
    (lambda d: d.move_to("far"), ValueError),
    (lambda d: d.move_steps(5001), ValueError),
    (lambda d: d.move_steps(2.5), ValueError),
    (lambda d: d.set_speed(0.0, 1.0), ValueError),
    (lambda d: d.set_speed(1.0, float("inf")), ValueError),
])
def test_requests_refused_before_anything_is_sent(drive, call, error):
    d, reports = connected(drive)
    with pytest.raises(error):
        call(d)


def test_speed_submit_and_printed_lines(drive):
    d, reports = connected(drive, capture_output=True)
    assert d.set_speed(3.0, 6.0).result(10) == (3.0, 6.0, 6.0)
    assert d.set_speed(3.0, 6.0, 1.5).result(10) == (3.0, 6.0, 1.5)
    assert d.submit(lambda m: m.getWavelengthMinMax()).result(10) == [760.0, 800.0]
    with pytest.raises(KeyError):
        d.submit(lambda m: {}["missing"]).result(10)
    d.move_to(777.0).result(10)
    wait_for(reports, lambda r: r.get("printed") == "arrived at 777.00nm", 1)
    # Printing from another thread is not the module's.
    print("from the test")
    d.move_to(778.0).result(10)
    seen = wait_for(reports, lambda r: r.get("printed") == "arrived at 778.00nm", 1)
    assert not any(r.get("printed") == "from the test" for r in seen)


def test_without_the_command_library_requests_end_unserved(drive):
    ScriptedMotor.load_failure = ImportError("EposCMD64.dll not found")
    d, reports = drive()
    seen = wait_for(reports, lambda r: r.get("state") == DISCONNECTED)
    assert "ImportError: EposCMD64.dll not found" in seen[-1]["message"]
    assert d.move_to(790.0).result(10).outcome == "not connected"
    with pytest.raises(ConnectionError):
        d.set_speed(1.0, 1.0).result(10)
    wait_for(reports, lambda r: r.get("done"))
    time.sleep(0.3)
    assert ScriptedMotor.attempts == 1  # no second attempt


# ------------------------------------------------- on the simulated controller
@pytest.fixture
def sim_drive(sim, drive):
    sim.use_wall_clock(4.0)
    return lambda **options: connected(drive, motor_class=ServedMotor, **options)


def test_on_the_controller_a_future_ends_when_the_grating_stands(sim, sim_drive):
    d, reports = sim_drive()
    done = d.move_to(776.0, high_precision=True).result(60)
    assert done.outcome == "arrived" and done.reached == pytest.approx(776.0, abs=0.01)
    assert not sim.moving() and sim.command_count("VCS_MoveToPosition") == 2
    assert d.move_steps(-2000).result(60).outcome == "arrived" and not sim.moving()

    d.set_speed(2.0, 4.0).result(10)
    drain(reports)
    running = d.move_to(790.0)
    wait_for(reports, lambda r: r.get("moving"))
    wait_for(reports, lambda r: r.get("readback", 0) > 777.0)
    d.stop()
    stopped = running.result(60)
    assert stopped.outcome == "stopped" and 777.0 < stopped.reached < 789.0
    assert not sim.moving()


def test_on_the_controller_a_limit_switch_ends_the_move_and_asks_for_calibration(sim, sim_drive):
    d, reports = sim_drive()
    sim.set_limit_switches(-45000, 10000)  # about 775 nm
    result = d.move_to(765.0).result(60)
    assert result.outcome == "limit switch" and not sim.moving()
    assert d.awaiting_calibration
    with pytest.raises(RuntimeError, match="CALIBRATE"):
        d.move_to(778.0)
    assert d.calibrate(790.0).result(30) is None
    wait_for(reports, lambda r: r.get("state") == IDLE)
    assert d.move_to(788.0).result(60).reached == pytest.approx(788.0, abs=0.01)


def test_on_the_controller_a_lost_cable_ends_the_move_and_the_drive_comes_back(sim, sim_drive):
    d, reports = sim_drive()
    d.set_speed(2.0, 4.0).result(10)
    drain(reports)
    running = d.move_to(790.0)
    wait_for(reports, lambda r: r.get("moving"))
    wait_for(reports, lambda r: r.get("readback", 0) > 781.0)
    sim.set_plugged(False)
    lost = running.result(60)
    assert lost.outcome == "lost" and "ConnectionError" in lost.message
    assert d.move_to(785.0).result(10).outcome in ("not connected", "lost")
    sim.set_plugged(True)
    wait_for(reports, lambda r: r.get("state") == IDLE, 30)
    assert d.move_to(785.0).result(60).reached == pytest.approx(785.0, abs=0.01)


def test_closing_ends_every_request(sim, sim_drive):
    d, reports = sim_drive()
    d.set_speed(2.0, 4.0).result(10)
    running, waiting = d.move_to(795.0), d.submit(lambda m: 1)
    wait_for(reports, lambda r: r.get("moving"))
    assert d.close(30)
    assert running.result(0).outcome == "stopped" and not sim.moving()
    assert waiting.done()


# The module's own calibration window worked on the drive's thread, with one
# refused entry on the way, then a collection on the main thread and the
# interpreter's exit: Tcl aborts the process if any of the window's Tk objects
# is freed there instead of on the thread that made it.
WINDOW_ON_THE_WORKER = r"""
import gc, threading, tkinter, types
from helpers.library import FakeLibrary, connect_fake, make_motor
import vostelmotor
from vostelmotor_lab.drive import Drive


class TypingTk(tkinter.Tk):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.after(50, self.type_in)

    def type_in(self):
        entry, button = self.winfo_children()[0].winfo_children()[3:5]
        for text in ("780,5", "781.5"):
            entry.delete(0, "end")
            entry.insert(0, text)
            button.invoke()


vostelmotor.tk = types.SimpleNamespace(**dict(vars(tkinter), Tk=TypingTk))
motor = connect_fake(make_motor(FakeLibrary()))
calibrated = []
motor.calibration = calibrated.append
motor.disconnect = lambda: None
Drive(lambda update: None, motor_class=vostelmotor.motor)._attach(motor)
worker = threading.Thread(target=motor._motor__limitSwitchCalibrationWindow)
worker.start()
worker.join()
gc.collect()
print("calibrated", calibrated)
"""


def test_the_module_s_window_on_the_worker_is_freed_there(display, tmp_path):
    import subprocess
    import sys

    script = tmp_path / "window_on_the_worker.py"
    script.write_text(WINDOW_ON_THE_WORKER)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))  # the modules this test sees
    run = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "calibrated [781.5]" in run.stdout
    assert "Exception in Tkinter callback" in run.stderr  # the refused entry was reported as before


# A job on the worker that leaves a Tcl interpreter in a reference cycle (no
# display needed: tkinter.Tcl() is one) and one that makes none; then a
# collection on the main thread and the exit. Only the first may cost a full
# collection on the worker, and nothing may abort.
INTERPRETER_ON_THE_WORKER = r"""
import gc, threading, tkinter
from vostelmotor_lab.drive import tk_freed_here

full = []
gc.callbacks.append(lambda phase, info: phase == "start" and info["generation"] == 2 and full.append(1))
gc.disable()  # only the collections asked for


def no_window():
    with tk_freed_here():
        cycle = []
        cycle.append(cycle)


def make_window():  # as a job does: its frame is gone when the block ends
    interpreter = tkinter.Tcl()
    interpreter.itself = interpreter


def window():
    with tk_freed_here():
        make_window()


for job in (no_window, window, no_window):
    worker = threading.Thread(target=job)
    worker.start()
    worker.join()
    print(job.__name__, len(full))
    full.clear()
gc.collect()
print("exit")
"""


def test_jobs_collect_on_the_worker_only_when_they_left_an_interpreter(tmp_path):
    import subprocess
    import sys

    script = tmp_path / "interpreter_on_the_worker.py"
    script.write_text(INTERPRETER_ON_THE_WORKER)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.split("\n")[:4] == ["no_window 0", "window 1", "no_window 0", "exit"], run.stdout
