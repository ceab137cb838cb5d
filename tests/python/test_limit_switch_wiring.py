"""The limit-switch wiring that docs/howto/limit-switch.md asks for, on the simulated controller:
its switches report 1 at the low-position end and 2 at the high-position end,
which is right for a calibration with negative B (the long-wavelength end at
low positions) and wrong for one with positive B, where the recovery drives
into the switch it hit and the drive faults again without moving."""
import types

import pytest

import vostelmotor

SWITCH = 30000  # both switches moved inside the calibrated range's positions


@pytest.fixture
def calibrated(sim, sim_motor, virtual_sleep, monkeypatch, tmp_path):
    monkeypatch.setattr(vostelmotor, "tk", types.SimpleNamespace(Tk=lambda: types.SimpleNamespace(withdraw=list)))
    monkeypatch.setattr(vostelmotor, "filedialog", types.SimpleNamespace(askdirectory=lambda **k: str(tmp_path)))

    def connect_with(B):
        m = sim_motor
        assert m.connect()
        m._motor__SetMotorCoefficients(1e-11, B, 780.0, 800.0, 760.0)
        m.disconnect()
        assert m.connect()
        sim.set_limit_switches(-SWITCH, SWITCH)
        m.generateSupportData()  # logs the input word the recovery reads
        windows = []
        m._motor__limitSwitchCalibrationWindow = lambda: windows.append(sim.position())
        return m, windows
    return connect_with


@pytest.mark.parametrize("B, target, switch_at, word, recovery", [
    (-0.0005, 799.0, -SWITCH, 1, "away"),   # long-wavelength end at low positions: input 1
    (-0.0005, 761.0, SWITCH, 2, "away"),    # short-wavelength end at high positions: input 2
    (0.0005, 799.0, SWITCH, 2, "into"),     # long-wavelength end on input 2: wired the wrong way
    (0.0005, 761.0, -SWITCH, 1, "into"),
])
def test_recovery_direction_follows_the_wiring(calibrated, sim, capsys, tmp_path, B, target, switch_at, word,
                                               recovery):
    m, windows = calibrated(B)
    half_span = round(abs(m._motor__wavelengthToMotorposition(800.0) - m._motor__wavelengthToMotorposition(760.0)) / 2)
    sim.clear_trace()
    m.moveToWavelength(target)
    assert "limitswitch activated" in capsys.readouterr().out
    support = (tmp_path / "SupportData_VostelMotorControl.txt").read_text().splitlines()
    assert "Limitswitch activated: %d" % word in support
    events = [e["event"] for e in sim.trace()["events"]]
    assert events.count(("negative" if switch_at < 0 else "positive") + " limit switch reached") == \
        (1 if recovery == "away" else 2)
    if recovery == "away":
        assert windows == [switch_at - half_span if switch_at > 0 else switch_at + half_span]
        assert sim.drive_state() == "enabled"
    else:
        assert windows == [switch_at]
        assert sim.drive_state() == "fault"


@pytest.mark.parametrize("start, target", [
    (790.0, 760.0),  # toward shorter wavelength: the overshoot runs past the short end of the range
    (770.0, 800.0),  # toward longer wavelength: no overshoot
])
def test_no_high_precision_move_inside_the_range_reaches_a_factory_switch(connected_sim_motor, sim, capsys,
                                                                          start, target):
    m = connected_sim_motor
    m.moveToWavelength(start)
    sim.clear_trace()
    assert m.moveToWavelength(target, highPrecision=1) == pytest.approx(target, abs=1e-3)
    assert "limitswitch activated" not in capsys.readouterr().out
    trace = sim.trace()
    assert not [e for e in trace["events"] if "limit switch" in e["event"]]
    furthest = max((p["position"] for p in trace["positions"]), key=abs)
    end = m._motor__wavelengthToMotorposition(target) - m._motor__offset
    # The factory calibration falls with the position: the short end lies at high positions,
    # and a move toward it overshoots by 10000 steps.
    assert furthest == (end + 10000 if target < start else end)
