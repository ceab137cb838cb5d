"""moveSteps against the fake library and drive."""
import pytest

from helpers.library import expect
from helpers.drive import leg, on_drive, position_read


@pytest.fixture
def rig(m, lib, monkeypatch):
    return (m, lib) + on_drive(m, lib, monkeypatch, offset=25)


@pytest.mark.parametrize("steps", [5000, -5000, 0])
def test_accepted_step_counts_move_negated_on_a_falling_screw(rig, steps, capsys):
    m, lib, drive, model, sleeps = rig
    result = m.moveSteps(steps)
    assert drive.moves == [-steps]
    # stored by supervision and once more by the step move
    assert model.home_writes() == [-steps + 25, -steps + 25]
    assert result == pytest.approx(model.to_wavelength(-steps + 25))
    assert capsys.readouterr().out == "arrived at {:.2f}nm\n".format(result)
    expect(lib, leg(-steps, -steps) + [position_read(-steps)] * 2)


@pytest.mark.parametrize("steps", [5001, -5001, 5000.5])
def test_out_of_range_step_counts_send_nothing(rig, steps):
    m, lib, drive, model, sleeps = rig
    with pytest.raises(ValueError, match="^number of given steps out of range$"):
        m.moveSteps(steps)
    expect(lib, [])


def test_range_guard_result_is_sent_with_the_drive_sign(rig):
    m, lib, drive, model, sleeps = rig
    asked = []
    m._motor__PositionSafetyCheck = lambda steps: asked.append(steps) or 1234
    m.moveSteps(4000)
    assert asked == [4000]
    assert drive.moves == [-1234]



def test_stop_request_is_cleared_on_return(rig):
    m, lib, drive, model, sleeps = rig
    drive.polls_per_move = 100
    sleeps.on_call = lambda n: m.stopMovement() if n == 1 else None
    m.moveSteps(100)
    assert lib.names().count("VCS_SetQuickStopState") == 1
    assert m._motor__stop is False


def test_failing_range_guard_leaves_the_trigger_off(rig):
    m, lib, drive, model, sleeps = rig

    def no_root(steps):
        raise ValueError("No real roots: The discriminant is negative.")

    m._motor__PositionSafetyCheck = no_root
    with pytest.raises(ValueError):
        m.moveSteps(10, trigger=2)
    expect(lib, [])
