"""Moves, stops, triggers, the limit-switch recovery with its window and the
support file, end to end on the simulated controller (virtual clock)."""
import ctypes
import threading
import types

import pytest

import vostelmotor
from helpers.library import A_FACTORY, B_FACTORY, C_FACTORY
from helpers.display import Operator, operated_toolkit, screenshot
from helpers.simulated import position_of, sent_arguments


@pytest.fixture
def m(connected_sim_motor):
    return connected_sim_motor


def targets(sim):
    return sent_arguments(sim, "VCS_MoveToPosition", 2)


def assert_stored_where_it_stands(m, sim):
    assert m._motor__HomePosition().value == sim.position() + m._motor__offset


def test_moves_land_on_the_requested_positions(m, sim, capsys):
    sim.clear_trace()
    assert m.moveToWavelength(790.0, highPrecision=1) == pytest.approx(790.0, abs=0.001)
    # Toward longer wavelength (negative steps on this drive): no overshoot.
    assert targets(sim) == [position_of(m, 790.0), 0]
    sim.clear_trace()
    m.moveToWavelength(770.0, highPrecision=1)
    assert targets(sim) == [position_of(m, 770.0) - position_of(m, 790.0) + 10000, -10000]
    assert sim.position() == position_of(m, 770.0)
    m.moveSteps(-250)
    assert sim.position() == position_of(m, 770.0) + 250
    assert_stored_where_it_stands(m, sim)
    assert capsys.readouterr().out.count("arrived at") == 3
    assert m.getMoving() is False


def test_stop_from_another_thread(m, sim, monkeypatch):
    """The move's thread waits in the module-level sleep; meanwhile another
    thread sees the move and stops it."""
    waiting, resume = threading.Event(), threading.Event()

    def sleep(seconds):
        sim.advance(seconds)
        if not waiting.is_set():
            waiting.set()
            resume.wait(60)

    monkeypatch.setattr(vostelmotor, "sleep", sleep)
    result = []
    mover = threading.Thread(target=lambda: result.append(m.moveToWavelength(760.0)))
    mover.start()
    assert waiting.wait(60)
    moving_seen = m.getMoving()
    m.stopMovement()
    resume.set()
    mover.join(60)
    assert not mover.is_alive()

    assert moving_seen is True and m.getMoving() is False
    assert 0 < sim.position() < position_of(m, 760.0) and not sim.moving()
    assert sim.command_count("VCS_SetQuickStopState") == 1 and sim.drive_state() == "enabled"
    assert_stored_where_it_stands(m, sim)
    assert result == [pytest.approx(m.getWavelength())]
    assert m._motor__stop is False


def test_ctrl_c_leaves_the_drive_stopped_and_the_next_move_lands_right(m, sim, monkeypatch):
    levels = []

    def interrupted_sleep(seconds):
        sim.advance(seconds)
        levels.append(sim.output_level(3))
        if len(levels) == 5:
            raise KeyboardInterrupt

    monkeypatch.setattr(vostelmotor, "sleep", interrupted_sleep)
    with pytest.raises(KeyboardInterrupt):
        m.moveToWavelength(760.0, trigger=2)
    assert levels[:5] == [1] * 5  # motion trigger on while moving
    assert not sim.moving() and sim.drive_state() == "enabled"
    assert sim.output_level(3) == 0 and m.getMoving() is False
    assert_stored_where_it_stands(m, sim)

    monkeypatch.setattr(vostelmotor, "sleep", sim.advance)
    m.moveToWavelength(772.5)
    assert sim.position() == position_of(m, 772.5)


def test_triggers_during_moves(m, sim, monkeypatch, capsys):
    m.triggerParameter(0.5)
    (width,) = sent_arguments(sim, "VCS_SetPositionCompareParameter", 5)
    start = sim.position()
    m.moveToWavelength(785.0, trigger=1)
    assert sim.pulse_count() == abs(sim.position() - start) // width
    assert capsys.readouterr().out.startswith("trigger interval width is set to 0.50nm\n")

    for reversed_ in (False, True):
        if reversed_:
            m.reverseMotionTrigger()
        levels = []
        monkeypatch.setattr(vostelmotor, "sleep", lambda s: (sim.advance(s), levels.append(sim.output_level(3))))
        m.moveToWavelength(775.0 + 10 * reversed_, trigger=2)
        assert set(levels) == {int(not reversed_)}
        assert sim.output_level(3) == int(reversed_)


def test_support_file_on_the_controller(m, sim, monkeypatch, tmp_path):
    monkeypatch.setattr(vostelmotor, "tk", types.SimpleNamespace(Tk=lambda: types.SimpleNamespace(withdraw=list)))
    monkeypatch.setattr(vostelmotor, "filedialog", types.SimpleNamespace(askdirectory=lambda **k: str(tmp_path)))
    m.generateSupportData()
    sim.clear_trace()
    m.moveToWavelength(770.0)
    lines = (tmp_path / "SupportData_VostelMotorControl.txt").read_text().splitlines()
    assert lines[2:8] == ["State: 1", "Coefficent A: %r" % m._motor__CoeffA, "Coefficent B: %r" % m._motor__CoeffB,
                          "Coefficent C: %r" % m._motor__CoeffC, "EncoderResolution: 512", "Wavelengthrange: 800.0nm to 760.0nm"]
    samples = [line for line in lines if line.startswith("Position: ")]
    assert len(samples) == sim.command_count("VCS_GetMovementState") // 10 > 0
    for line in samples:
        position, current = (int(part.split(": ")[1]) for part in line.split(", "))
        assert 0 < position <= sim.position() and current > 0


def test_move_into_a_limit_switch(m, sim, monkeypatch, display, capsys):
    """Announcement, recovery move at the slow profile, restored profile,
    the operator's recalibration in the real window, closed connection, and
    the move's ConnectionError."""
    m.setVelocityParameter(2.0, 4.0, 4.0)
    user_profile = [c["args"] for c in sim.trace()["commands"] if c["name"] == "VCS_SetPositionProfile"][-1]
    sim.set_limit_switches(-30000, 45000)
    sim.clear_trace()
    capsys.readouterr()
    target = position_of(m, 799.0)
    half_span = round(abs(m._motor__wavelengthToMotorposition(800.0) - m._motor__wavelengthToMotorposition(760.0)) / 2)

    def calibrate_to_785(window):
        screenshot("calibration-window", window)
        operator.calibrate_with("785.0", lambda: not m._motor__connection)

    operator = Operator([calibrate_to_785])
    monkeypatch.setattr(vostelmotor, "tk", operated_toolkit(operator))
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.moveToWavelength(799.0)
    assert operator.failures == []

    out = capsys.readouterr().out.splitlines()
    assert out[:3] == ["limitswitch activated", "new calibration is required",
                       "a calibration window will open after the system went back near the center of the "
                       "wavelength range"]
    assert "wavelength set to 785.00nm" in out and "arrived at" not in "".join(out)
    trace = sim.trace()
    assert "negative limit switch reached" in [e["event"] for e in trace["events"]]
    assert targets(sim) == [target, half_span]
    assert sim.position() == -30000 + half_span
    profiles = [c["args"].split(", ", 2)[2] for c in trace["commands"] if c["name"] == "VCS_SetPositionProfile"]
    assert profiles == ["300, 300, 300", user_profile.split(", ", 2)[2]]
    assert m._motor__connection is False and m._motor__stop is True
    assert m._inLimitSwitch is False and m.getMoving() is False

    assert m.connect() is True
    assert m.getWavelength() == pytest.approx(785.0, abs=0.001)


def controller_profile(m):
    """The position profile the controller holds, in rpm and rpm/s."""
    cells = [ctypes.c_uint32() for _ in range(3)]
    m._motor__dllCall("VCS_GetPositionProfile", m._motor__keyhandle, m._motor__NodeId,
                      *(ctypes.byref(c) for c in cells), ctypes.byref(m._motor__pErrorCode))
    return [c.value for c in cells]


def calibration_window_stand_in(m, sim, seen):
    """Notes what the drive does when the window would open, then does what
    the operator's calibration in the window does."""
    def window():
        seen.append((sim.moving(), sim.position()))
        m.calibration(785.0)
        m.disconnect()
        m._inLimitSwitch = False
        m._motor__stop = True
    return window


@pytest.mark.parametrize("B, switches, target, wait_ms", [
    (B_FACTORY, (-30000, 45000), 799.0, 14000),  # the range in 7.8 s; a falling model
    (-0.005, (-45000, 3000), 761.0, 2000),       # the range in 0.78 s: the floor
], ids=["factory", "steep"])
@pytest.mark.parametrize("profile_set", [False, True], ids=["no profile set", "profile set"])
def test_recovery_waits_for_its_return_move_and_restores_the_profile(sim, sim_motor, virtual_sleep, capsys, B,
                                                                      switches, target, wait_ms, profile_set):
    m = sim_motor
    assert m.connect() is True
    if B != B_FACTORY:
        m._motor__SetMotorCoefficients(A_FACTORY, B, C_FACTORY, 800.0, 760.0)
        m.disconnect()
        assert m.connect() is True
    if profile_set:
        m.setVelocityParameter(2.0, 4.0, 4.0)
    before = controller_profile(m)
    assert before != [300, 300, 300] and 0 not in before
    half_span = round(abs(m._motor__wavelengthToMotorposition(800.0) - m._motor__wavelengthToMotorposition(760.0)) / 2)
    sim.set_limit_switches(*switches)
    seen = []
    m._motor__limitSwitchCalibrationWindow = calibration_window_stand_in(m, sim, seen)
    sim.clear_trace()
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.moveToWavelength(target)

    assert sent_arguments(sim, "VCS_WaitForTargetReached", 2) == [wait_ms]
    # The window opens on a standing drive, half the range back from the switch.
    back = switches[0] + half_span if target > 780 else switches[1] - half_span
    assert seen == [(False, back)]
    assert sim.command_count("VCS_GetPositionProfile") == (0 if profile_set else 1)
    profiles = [c["args"].split(", ", 2)[2] for c in sim.trace()["commands"] if c["name"] == "VCS_SetPositionProfile"]
    assert profiles == ["300, 300, 300", "%d, %d, %d" % tuple(before)]
    assert "failed" not in capsys.readouterr().out

    sim.reset(forget_stored=False)  # a power cycle: what disconnect() stored comes back
    assert m.connect() is True
    assert controller_profile(m) == before
