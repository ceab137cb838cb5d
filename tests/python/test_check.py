"""vostelmotor check: scripted sessions on the simulated controller (a sane
instrument, a calibration whose B has the wrong sign, a stuck switch input,
an empty range, a stored position near the end of the range, Ctrl+C in the
middle of the step move), the judgement of calibrations and step moves, and
the installed console script."""
import _thread
import ctypes
import io
import os
import signal
import subprocess
import sys
import threading

import pytest

from helpers import paths
from helpers.simulated import sent, sent_arguments
import vostelmotor
from vostelmotor_lab import check

FACTORY = dict(A=1e-11, B=-0.0005, C=780.0, high=800.0, low=760.0)
PROFILE = (1000, 1000, 1000)  # the simulated controller's factory profile, rpm and rpm/s

# Answers: run steps 1 to 4, run the step move with the wavemeter's readings,
# run the trigger step and see both levels.
def answers(before="780.000", after="780.250"):
    return ["", "", "", "", "", before, after, "", "y", "y"]


def store_calibration(A, B, C, high, low, home=None):
    m = vostelmotor.motor()
    assert m.connect()
    m._motor__SetMotorCoefficients(A, B, C, high, low)  # the stored position becomes 0
    if home is not None:
        m._motor__SetIndexValue(0x2081, 0, ctypes.c_int32(home))
    m.disconnect()


def controller_state():
    """What a fresh connection finds: stored and actual position, profile."""
    m = vostelmotor.motor()
    assert m.connect()
    profile = [ctypes.c_int32() for _ in range(3)]
    check._command(m, "VCS_GetPositionProfile", *profile)
    state = dict(home=m._motor__HomePosition().value, wavelength=m.getWavelength(),
                 profile=tuple(c.value for c in profile))
    m.disconnect()
    return state


class Session:
    def __init__(self, tmp_path, script, steps=check.DEFAULT_STEPS, on_drive=None, motor_class=vostelmotor.motor):
        self.out = io.StringIO()
        self.report = check.Report(str(tmp_path / "report.txt"))
        self.drives = []

        def make(update, loaded):
            drive = check.make_drive(update, "USB0", check.recording(motor_class, loaded))
            self.drives.append(drive)
            if on_drive:
                on_drive(drive)
            return drive

        self.check = check.Check(make, check.Operator(script, out=self.out), self.report, steps=steps)

    def run(self):
        self.code = self.check.run()
        with open(self.report.path) as f:
            self.text = f.read()
        return self


@pytest.fixture
def session(sim, virtual_sleep, tmp_path):
    def run(script, **options):
        return Session(tmp_path, script, **options).run()
    return run


def moves(sim):
    return sent_arguments(sim, "VCS_MoveToPosition", 2)


def test_a_sane_instrument_passes_with_one_short_move_and_everything_put_back(sim, session):
    s = session(answers())
    assert s.code == 0, s.out.getvalue()
    assert "Verdict: PASS" in s.text
    assert moves(sim) == [-500]               # B < 0: toward longer wavelength is down in position
    assert sim.position() == -500
    for line in ("library path: " + paths.SIM_LIBRARY, "range word: 0x1DB01F40", "digital input word: 0",
                 "before: wavemeter: 780.0", "after: wavemeter: 780.25", "5 V seen: yes", "0 V seen: yes"):
        assert line in s.text
    assert [o["level"] for o in sim.trace()["outputs"] if o["output"] == 3] == [1, 0]
    assert sim.output_level(3) == 0
    assert sim.drive_state() == "disabled"    # closed at the end
    assert controller_state()["profile"] == PROFILE


@pytest.mark.parametrize("prepare, before, after, expect", [
    # The stored calibration says B > 0, but the mechanics are the factory's
    # (B < 0): the laser goes to shorter wavelength on the wavemeter.
    pytest.param(lambda sim: store_calibration(**dict(FACTORY, B=0.0005)), "780.000", "779.750",
                 ["the laser went to SHORTER wavelength", "the sign of B does not match the mechanics"],
                 id="wrong sign of B"),
    pytest.param(lambda sim: None, "780.000", "780.001", ["the laser did not follow the motor"],
                 id="wavemeter not moving"),
])
def test_step_moves_the_wavemeter_contradicts_fail(sim, session, prepare, before, after, expect):
    prepare(sim)
    s = session(answers(before, after))
    assert s.code == 1
    assert "Verdict: FAIL" in s.text
    for text in expect:
        assert text in s.text
    assert len(moves(sim)) == 1 and abs(moves(sim)[0]) == 500


@pytest.mark.parametrize("prepare, expect", [
    pytest.param(lambda sim: sim.set_limit_switches(0, 45000),  # the drive stands on the switch position
                 "the input word reads 1 at rest, with input 1 (the long-wavelength limit switch) set",
                 id="switch input stuck at 1"),
    pytest.param(lambda sim: store_calibration(**dict(FACTORY, high=0.0, low=0.0)),
                 "the calibrated range is empty", id="empty range"),
    pytest.param(lambda sim: store_calibration(**dict(FACTORY, B=0.0)), "coefficient B is zero", id="B zero"),
    pytest.param(lambda sim: store_calibration(**FACTORY, home=60000), "the stored position (60000 steps",
                 id="stored position outside the range"),
])
def test_faults_found_at_rest_stop_the_check_before_any_move(sim, session, prepare, expect):
    prepare(sim)
    # No wavemeter question comes: the trigger step takes the next answers.
    s = session(["", "", "", "", "", "", "y", "y"])
    assert s.code == 1, s.out.getvalue()
    assert expect in s.text
    assert "result (step move): not run" in s.text
    assert moves(sim) == []
    assert sim.position() == 0


class NoLibrary(vostelmotor.motor):
    def load_epos_dll(self, package_dir=None):
        raise ImportError("no command library here")


@pytest.mark.parametrize("motor_class, prepare, expect", [
    pytest.param(NoLibrary, lambda sim: None,
                 ["result (library): FAIL - Loading the controller's command library failed: ImportError: "
                  "no command library here", "result (device): not run"], id="no library"),
    pytest.param(vostelmotor.motor, lambda sim: sim.set_ports(["USB1"]),
                 ["result (library): pass - loaded " + paths.SIM_LIBRARY,
                  "result (device): FAIL - Connecting on USB0 failed", "the port is right (--usb"], id="no controller"),
])
def test_a_missing_library_or_controller_is_named_and_nothing_else_runs(sim, virtual_sleep, tmp_path, motor_class,
                                                                       prepare, expect):
    prepare(sim)
    s = Session(tmp_path, ["", "", "", "", "", ""], motor_class=motor_class).run()
    assert s.code == 1
    for text in expect:
        assert text in s.text
    for item in ("calibration", "inputs", "rest", "step move", "trigger"):
        assert "result (%s): not run" % item in s.text
    assert moves(sim) == []


def test_a_position_too_near_the_long_end_for_the_move_moves_nothing(sim, session):
    store_calibration(**FACTORY, home=-39700)  # 270 steps from the long end (-39970)
    s = session(["", "", "", "", "", "s"])
    assert "too close for a 500-step move" in s.text
    assert moves(sim) == []
    assert s.code == 2 and "Verdict: INCOMPLETE" in s.text


def test_ctrl_c_in_the_middle_of_the_move_leaves_the_drive_safe(sim, virtual_sleep, tmp_path, monkeypatch):
    stop_asked = threading.Event()
    interrupted = []

    def sleep(seconds):  # the worker's waits during the move
        sim.advance(seconds)
        if sim.moving() and not interrupted:
            interrupted.append(sim.position())
            _thread.interrupt_main()  # Ctrl+C at the console
            stop_asked.wait(30)

    def on_drive(drive):
        stop = drive.stop

        def stop_and_tell():
            stop()
            stop_asked.set()
        drive.stop = stop_and_tell

    monkeypatch.setattr(vostelmotor, "sleep", sleep)
    # As at a console: a shell that starts the tests in the background has
    # Python leave SIGINT ignored, and then the simulated Ctrl+C goes nowhere.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        s = Session(tmp_path, answers(), on_drive=on_drive).run()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert s.code == 130
    assert "Verdict: STOPPED" in s.text
    assert interrupted and -500 < sim.position() < 0   # stopped on its way
    assert not sim.moving() and sim.drive_state() == "disabled"
    assert sim.output_level(3) == 0
    found = controller_state()
    assert found["home"] == sim.position()            # the next session starts from the truth
    assert found["profile"] == PROFILE
    assert len(sent(sim, "VCS_SetQuickStopState")) >= 1


def test_running_out_of_answers_ends_incomplete_and_closes(sim, session):
    s = session(["", ""])
    assert s.code == 2
    assert "Verdict: INCOMPLETE" in s.text and "the scripted answers ran out" in s.text
    assert moves(sim) == [] and sim.drive_state() == "disabled"


def test_never_more_than_1000_steps():
    with pytest.raises(SystemExit):
        check.build_parser().parse_args(["--steps", "1001"])
    assert check.build_parser().parse_args(["--steps", "1000"]).steps == 1000
    with pytest.raises(ValueError):
        check.Check(None, None, None, steps=1001)


def sane(**change):
    cal = dict(A=1e-11, B=-0.0005, C=780.0, min=760.0, max=800.0, lo_pos=40031, hi_pos=-39970,
               home=0, wavelength=780.0)
    cal.update(change)
    return cal


@pytest.mark.parametrize("cal, problem", [
    (sane(), None),
    (sane(B=0.0), "coefficient B is zero"),
    (sane(A=0.0), "coefficient A is zero"),
    (sane(min=780.0, max=780.0), "the calibrated range is empty"),
    (sane(min=790.0, max=770.0), "the calibrated range is empty"),
    (sane(lo_pos=None), "the model does not reach both ends"),
    # turning point at x = 25000, inside the positions of the range
    (sane(lo_pos=40031, hi_pos=-39970, A=1e-8), "the model turns back inside the range"),
    # the whole range beyond the turning point (x = 25000): slope > 0 while B < 0
    (sane(lo_pos=30000, hi_pos=50000, A=1e-8, home=40000), "runs against the sign of B"),
    (sane(home=40032), "the stored position (40032 steps"),
    (sane(home=-39971), "the stored position (-39971 steps"),
])
def test_judge_calibration(cal, problem):
    found = [summary for summary, fix in check.judge_calibration(cal)]
    if problem is None:
        assert found == []
    else:
        assert len(found) == 1 and problem in found[0], found


AT = {"home": 0, "wavelength": 780.0}


@pytest.mark.parametrize("landed, model, meters, status, text", [
    (0, 0.25, (780.0, 780.25), check.PASS, "the wavemeter went +0.2500 nm"),
    (20, 0.25, (780.0, 780.25), check.PASS, "landed +20 steps"),
    (21, 0.25, (780.0, 780.25), check.FAIL, "21 steps from its target"),
    (0, -0.25, (780.0, 780.25), check.FAIL, "not toward longer wavelength"),
    (0, 0.25, (None, 780.25), check.WARN, "the direction is not confirmed"),
    (0, 0.25, (780.0, 780.5), check.WARN, "2.00 times what the calibration expects"),
    (0, 0.25, (780.0, 779.75), check.FAIL, "SHORTER"),
])
def test_judge_step(landed, model, meters, status, text):
    after = {"home": -500 + landed, "wavelength": 780.0 + model}
    found = check.judge_step(-500, AT, after, *meters)
    assert found[0] == status and text in found[1]


def test_help_needs_neither_the_module_nor_a_controller():
    code = "import sys; sys.modules['vostelmotor'] = None; from vostelmotor_lab import check; check.main(['--help'])"
    done = subprocess.run([sys.executable, "-c", code], cwd=paths.ROOT, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "--simulated" in done.stdout and "--answers" in done.stdout


CONSOLE_SCRIPT = paths.console_script("vostelmotor")


@pytest.mark.skipif(not os.path.exists(CONSOLE_SCRIPT), reason="the vostelmotor console script is not installed")
def test_installed_command_checks_the_simulated_controller(tmp_path):
    script = tmp_path / "answers.txt"
    script.write_text("# scripted session\n" + "\n".join(answers()) + "\n")
    report = tmp_path / "report.txt"
    env = dict(os.environ, VOSTEL_SIM_STATE=str(tmp_path / "sim_state.txt"))
    done = subprocess.run([CONSOLE_SCRIPT, "check", "--simulated", "--answers", str(script), "--report", str(report)],
                          cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Verdict: PASS" in report.read_text()
