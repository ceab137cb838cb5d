"""moveToWavelength against the fake library and drive: the planned
relative moves, the high-precision approach, triggers and the endings."""
import pytest

from helpers.library import connect_fake, expect
from helpers.drive import FakeDrive, Sleeps, leg, on_drive, position_read, wire_model


@pytest.fixture
def rig(m, lib, monkeypatch):
    """Factory calibration (B < 0, drive sign -1), stored at 780 nm."""
    return (m, lib) + on_drive(m, lib, monkeypatch)


def test_single_move_prints_and_returns_the_stored_wavelength(rig, capsys):
    m, lib, drive, model, sleeps = rig
    assert m.moveToWavelength(780.25) == pytest.approx(780.25)
    assert drive.moves == [-500]
    expect(lib, leg(-500, -500) + [position_read(-500)])
    assert model.home_writes() == [-500]
    assert capsys.readouterr().out == "arrived at 780.25nm\n"
    assert m._motor__stop is False and m._motor__moving is False


def test_high_precision_toward_longer_wavelength_needs_no_overshoot(rig, capsys):
    m, lib, drive, model, sleeps = rig
    m.moveToWavelength(780.25, highPrecision=1)
    assert drive.moves == [-500, 0]
    assert capsys.readouterr().out == "arrived at 780.25nm\n"


def test_high_precision_rising_screw_overshoots_3000(m, lib, monkeypatch, capsys):
    drive, model, _ = on_drive(m, lib, monkeypatch, B=0.0005)
    m.moveToWavelength(780.0 - 500 * 0.0005, True)
    assert drive.moves == [-3500, 3000]
    assert model.home == -500
    assert capsys.readouterr().out.count("arrived at") == 1


def test_high_precision_falling_screw_overshoots_10000(rig, capsys):
    m, lib, drive, model, sleeps = rig
    m.moveToWavelength(780.0 - 500 * 0.0005, 1)  # +500 motor steps: shorter wavelength
    assert drive.moves == [10500, -10000]
    expect(lib, leg(10500, 10500) + [position_read(10500)] + leg(-10000, 500) + [position_read(500)])
    assert model.home == 500
    assert capsys.readouterr().out == "arrived at 779.75nm\n"


def test_high_precision_second_leg_corrects_a_short_first_leg(rig):
    m, lib, drive, model, sleeps = rig
    lib.fill["VCS_MoveToPosition"] = lambda args: (drive.moves.append(args[2]),
                                                   setattr(drive, "position", drive.position + args[2] - 7))
    m.moveToWavelength(780.0 - 500 * 0.0005, 1)
    assert drive.moves == [10500, -10000 + 7]


def test_wavelength_beyond_the_range_moves_to_the_end(rig):
    m, lib, drive, model, sleeps = rig
    assert m.moveToWavelength(850.0) == pytest.approx(800.0)
    assert drive.moves == [-40000]


@pytest.mark.parametrize("kind, reversed_, sends_idle", [
    (0, False, False), (0, True, True), (1, True, True), (2, True, False), (2, False, False)])
def test_output_idle_before_the_move_only_for_other_kinds_when_reversed(rig, kind, reversed_, sends_idle):
    m, lib, drive, model, sleeps = rig
    m._motor__revMotionTrigger = reversed_
    m.moveToWavelength(780.0, trigger=kind)
    idle = [c for c in lib.called("VCS_DigitalOutputConfiguration") if c.values()[2:7] == [3, 15, 0, 0, 0]]
    assert len(idle) == int(sends_idle)
    if sends_idle:
        assert lib.names()[0] == "VCS_DigitalOutputConfiguration"


def test_trigger_is_switched_on_before_the_move_and_off_after_each_leg(rig):
    m, lib, drive, model, sleeps = rig
    events = []
    m._motor__activateTriggerOutput = lambda k: events.append(("on", k, len(drive.moves)))
    m._motor__deactivateTriggerOutput = lambda k: events.append(("off", k, len(drive.moves)))
    m.moveToWavelength(779.0, highPrecision=1, trigger=1)
    assert events == [("on", 1, 0), ("off", 1, 1), ("on", 1, 1), ("off", 1, 2)]


def test_stop_during_first_leg_ends_the_high_precision_move(rig, capsys):
    m, lib, drive, model, sleeps = rig
    drive.polls_per_move = 100
    sleeps.on_call = lambda n: m.stopMovement() if n == 2 else None
    result = m.moveToWavelength(779.0, highPrecision=1)
    assert drive.moves == [12000]
    assert "VCS_SetQuickStopState" in lib.names()
    assert result == pytest.approx(model.to_wavelength(model.home))
    assert capsys.readouterr().out == ""
    assert m._motor__stop is False


def test_two_decimals_and_the_value_read_back(rig, capsys):
    m, lib, drive, model, sleeps = rig
    model.home = 10
    drive.position = 10
    m.moveToWavelength(780)
    assert capsys.readouterr().out == "arrived at 780.00nm\n"
    assert drive.moves == [-10]


def test_unreachable_wavelength_raises_before_any_command(rig):
    m, lib, drive, model, sleeps = rig
    m._motor__revMotionTrigger = True

    def no_root(wl):
        raise ValueError("No real roots: The discriminant is negative.")

    m._motor__wavelengthToMotorposition = no_root
    for kind in (0, 1, 2):
        with pytest.raises(ValueError, match="^No real roots: The discriminant is negative.$"):
            m.moveToWavelength(790.0, trigger=kind)
    expect(lib, [])


@pytest.mark.parametrize("move", [lambda m: m.moveToWavelength(780.0), lambda m: m.moveSteps(1)],
                         ids=["moveToWavelength", "moveSteps"])
def test_refused_without_connection(m, lib, move):
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        move(m)
    expect(lib, [])


@pytest.mark.parametrize("miss, lands", [(0, True), (20, True), (-20, True), (21, False), (-3000, False)])
def test_a_move_that_ends_away_from_its_target_raises_after_storing_where_it_stands(rig, capsys, miss, lands):
    m, lib, drive, model, sleeps = rig

    def move_and_miss(args):
        drive._move(args)
        drive.position += miss

    lib.fill["VCS_MoveToPosition"] = move_and_miss
    if lands:
        assert m.moveToWavelength(780.25) == pytest.approx(model.to_wavelength(-500 + miss))
        assert "VCS_SetEnableState" not in lib.names()
    else:
        with pytest.raises(ConnectionError, match="%d steps away from its target 780.25nm" % abs(miss)):
            m.moveToWavelength(780.25)
        assert "arrived at" not in capsys.readouterr().out
        assert lib.names()[-1] == "VCS_SetEnableState"  # the drive is left enabled
    assert model.home_writes() == [-500 + miss]
    assert m.getMoving() is False


@pytest.mark.parametrize("case", ["across the 32-bit wrap", "beyond 64 bits"])
def test_positions_at_the_ends_of_the_counters(m, lib, monkeypatch, capsys, case):
    """The controller counts in 32 bits: a move across its counter's wrap
    lands where it stored; a target whose step count fits no counter ends
    with the landing check's own error, the drive enabled again."""
    if case == "across the 32-bit wrap":
        start = 2 ** 31 - 100  # controller position of model position 0
        drive, model, _ = on_drive(m, lib, monkeypatch, offset=-start, position=start)
        assert m.moveToWavelength(779.9) == pytest.approx(779.9)
        assert drive.moves == [200] and model.home_writes() == [200]
        assert "arrived at 779.90nm" in capsys.readouterr().out
    else:
        drive, model, _ = on_drive(m, lib, monkeypatch, B=-1e-19)
        with pytest.raises(ConnectionError, match="steps away from its target"):
            m.moveToWavelength(779.0)
        assert drive.moves == [10 ** 19] and lib.names()[-1] == "VCS_SetEnableState"
    assert m.getMoving() is False


def test_a_move_stored_at_its_32_bit_target_lands_with_offset_and_home_near_the_wrap(m, lib, monkeypatch, capsys):
    """The stored model position 2**31 + 50 reads back as -2**31 + 50, and so
    does the offset derived from it; a target at 2**31 + 150 is then planned
    as a step count near 2**32, which the controller receives as its 32-bit
    value, 100. The move lands exactly where the counters say it should."""
    wrap = 2 ** 32
    home = 2 ** 31 + 50 - wrap     # as the 32-bit entry holds it
    connect_fake(m, offset=home - 1000)
    drive = FakeDrive(lib, position=1000)
    lib.fill["VCS_MoveToPosition"] = lambda args: drive._move([0, 0, (args[2] + 2 ** 31) % wrap - 2 ** 31])
    C = 780.0 + 0.0005 * (2 ** 31 + 150)  # 780 nm at model position 2**31 + 150
    model = wire_model(m, C=C, home=home)
    Sleeps(monkeypatch)
    m.moveToWavelength(780.0)
    assert drive.moves == [100]
    assert model.home_writes() == [2 ** 31 + 150 - wrap]
    assert "arrived at" in capsys.readouterr().out
