"""Limit-switch recovery and fault clearing against the fake library."""
import ctypes

import pytest

from helpers.library import answer, connect_fake, expect, fail_when
from helpers.drive import Sleeps, on_drive, recovered_by_window

KEY, NODE, REF = 7, 0, ("ref", 0)
ANNOUNCEMENT = ("limitswitch activated\nnew calibration is required\n"
                "a calibration window will open after the system went back near the center of the "
                "wavelength range\n")


@pytest.fixture
def rig(m, lib, monkeypatch):
    """Model positions 10 (min), 12 (middle), 17 (max); a 512-pulse encoder."""
    connect_fake(m, A=0.0, B=20 / (7.9 * 10240), lo=770.0, hi=790.0)
    positions = {770.0: 10, 780.0: 12, 790.0: 17}
    m._motor__wavelengthToMotorposition = lambda wl: positions[wl]
    m._motor__vMP, m._motor__aMP, m._motor__bMP = (ctypes.c_uint32(v) for v in (1200, 800, 900))
    m._motor__revMotionTrigger = True
    windows = []
    m._motor__limitSwitchCalibrationWindow = lambda: windows.append(
        (m._inLimitSwitch, m._motor__moving, lib.names()[-1]))
    sleeps = Sleeps(monkeypatch)
    return m, lib, sleeps, windows


def test_complete_recovery(rig, capsys):
    m, lib, sleeps, windows = rig
    answer(lib, "VCS_GetAllDigitalInputs", 1)
    during_wait = []
    lib.fill["VCS_WaitForTargetReached"] = lambda args: during_wait.append((m._inLimitSwitch, m._motor__moving))
    m._motor__limitSwitch()

    assert capsys.readouterr().out == ANNOUNCEMENT
    expect(lib, [
        ("VCS_GetAllDigitalInputs", [KEY, NODE, ("ref", 1), REF]),
        ("VCS_ClearFault", [KEY, NODE, REF]),
        ("VCS_SetEnableState", [KEY, NODE, REF]),
        ("VCS_SetPositionProfile", [KEY, NODE, 300, 300, 300, REF]),
        ("VCS_MoveToPosition", [KEY, NODE, -4, 0, 1, REF]),  # |17 - 10| / 2 = 3.5 -> 4; screw > 0, word 1: back
        ("VCS_WaitForTargetReached", [KEY, NODE, 14000, REF]),
        ("VCS_DigitalOutputConfiguration", [KEY, NODE, 3, 15, 0, 1, 0, REF]),
        ("VCS_DisablePositionCompare", [KEY, NODE, REF]),
        ("VCS_DeactivatePositionCompare", [KEY, NODE, 3, REF]),
        ("VCS_SetPositionProfile", [KEY, NODE, 1200, 800, 900, REF]),
    ])
    assert sleeps.seconds == [3]
    assert during_wait == [(True, True)]
    assert windows == [(True, False, "VCS_SetPositionProfile")]
    assert (m._inLimitSwitch, m._motor__moving, m._motor__revMotionTrigger) == (False, False, False)


def test_a_fault_that_cannot_be_cleared_stops_the_recovery_at_the_switch(rig):
    m, lib, sleeps, windows = rig
    answer(lib, "VCS_GetAllDigitalInputs", 1)
    fail_when(lib, "VCS_ClearFault", lambda args: True)
    with pytest.raises(ConnectionError, match="in fault at the limit switch"):
        m._motor__limitSwitch()
    assert lib.names().count("VCS_ClearFault") == 2  # tried twice
    assert "VCS_MoveToPosition" not in lib.names() and windows == []
    assert m._inLimitSwitch is False and m._motor__moving is False


@pytest.mark.parametrize("stands_at_poll, halt_refused", [(3, False), (None, False), (None, True)],
                         ids=["stands later", "never reports standing", "cannot be stopped"])
def test_after_a_failed_wait_the_window_opens_only_once_the_drive_stands(rig, stands_at_poll, halt_refused):
    m, lib, sleeps, windows = rig
    answer(lib, "VCS_GetAllDigitalInputs", 1)
    fail_when(lib, "VCS_WaitForTargetReached", lambda args: True)
    polls = []

    def movement_state(args):
        polls.append(lib.names()[-1])
        args[2]._obj.value = int(stands_at_poll is not None and len(polls) >= stands_at_poll)

    lib.fill["VCS_GetMovementState"] = movement_state
    if halt_refused:
        fail_when(lib, "VCS_SetQuickStopState", lambda args: True)
        fail_when(lib, "VCS_SetDisableState", lambda args: True)
    if stands_at_poll is None:  # stopped (or not) after the wait's own time, it never reports standing
        with pytest.raises(ConnectionError, match="did not come to a stand"):
            m._motor__limitSwitch()
        names = lib.names()
        halt = names.index("VCS_SetQuickStopState")
        assert names[halt - 141:halt] == ["VCS_GetMovementState"] * 141
        assert "VCS_GetObject" in names[halt:] and names[-1] == "VCS_GetMovementState"
        assert windows == [] and m._inLimitSwitch is False and m._motor__moving is False
        return
    m._motor__limitSwitch()
    names = lib.names()
    after_wait = names[names.index("VCS_WaitForTargetReached") + 1:names.index("VCS_DigitalOutputConfiguration")]
    assert after_wait == ["VCS_GetMovementState"] * 3 and sleeps.seconds == [3, 0.1, 0.1]
    assert windows == [(True, False, "VCS_SetPositionProfile")]


@pytest.mark.parametrize("screw, word_, move", [
    (1, 1, -1), (1, 2, 1), (-1, 1, 1), (-1, 2, -1), (0, 1, 1), (0, 2, -1),
    (1, 3, 0), (-1, 0, 0), (1, 0x11, 0)])
def test_direction_of_the_return_move(rig, screw, word_, move):
    m, lib, sleeps, windows = rig
    m._motor__BallScrew = screw
    m._motor__wavelengthToMotorposition = {770.0: 10, 780.0: 12, 790.0: 15}.get
    answer(lib, "VCS_GetAllDigitalInputs", word_)
    m._motor__limitSwitch()
    (call,) = lib.called("VCS_MoveToPosition")
    assert call.values()[2] == 2 * move  # 2.5 rounds to 2
    assert len(lib.called("VCS_WaitForTargetReached")) == 1
    assert len(windows) == 1


class Unreadable:
    """A drive direction that cannot be compared (an object never connected)."""

    def __gt__(self, other):
        raise TypeError("no drive direction")

    __lt__ = __ge__ = __le__ = __gt__


@pytest.mark.parametrize("word_", [0, 3, 0x11])
def test_the_drive_direction_is_read_only_for_a_word_of_one_switch(rig, word_):
    m, lib, sleeps, windows = rig
    m._motor__BallScrew = Unreadable()
    answer(lib, "VCS_GetAllDigitalInputs", word_)
    m._motor__limitSwitch()
    (call,) = lib.called("VCS_MoveToPosition")
    assert call.values()[2] == 0
    assert len(windows) == 1
    answer(lib, "VCS_GetAllDigitalInputs", 1)
    with pytest.raises(TypeError, match="no drive direction"):
        m._motor__limitSwitch()


@pytest.mark.parametrize("steepness, wait_ms", [
    (1, 14000), (-1, 14000),   # 7.9 s for the range, rising or falling: twice 7 s
    (10, 2000), (-10, 2000)])  # 0.79 s: the floor, never 0
def test_wait_for_the_return_move(rig, steepness, wait_ms):
    m, lib, sleeps, windows = rig
    m._motor__CoeffB *= steepness
    m._motor__limitSwitch()
    assert lib.called("VCS_WaitForTargetReached")[0].values()[2] == wait_ms


def test_support_line_is_written_before_the_pause(rig, tmp_path):
    m, lib, sleeps, windows = rig
    path = tmp_path / "support.txt"
    m._motor__generateSupportData = True
    m._motor__supportFilePath = str(path)
    answer(lib, "VCS_GetAllDigitalInputs", 1)
    sleeps.on_call = lambda n: lines_at_pause.append(path.read_text())
    lines_at_pause = []
    m._motor__limitSwitch()
    assert lines_at_pause == ["Limitswitch activated: 1\n"]
    assert path.read_text() == "Limitswitch activated: 1\n"


def test_unwritable_support_file_stops_the_recovery(rig, capsys):
    m, lib, sleeps, windows = rig
    m._motor__generateSupportData = True
    m._motor__supportFilePath = ""
    answer(lib, "VCS_GetAllDigitalInputs", 2)
    with pytest.raises(FileExistsError, match="^Support file not found.$") as info:
        m._motor__limitSwitch()
    assert isinstance(info.value.__context__, OSError)
    assert capsys.readouterr().out == ANNOUNCEMENT
    expect(lib, [("VCS_GetAllDigitalInputs", [KEY, NODE, ("ref", 2), REF])])
    assert sleeps.seconds == []
    assert windows == [] and m._inLimitSwitch is False



def test_clear_fault(m, lib):
    assert m._motor__clearFault() is None
    expect(lib, [("VCS_ClearFault", [0, NODE, REF]), ("VCS_SetEnableState", [0, NODE, REF])])


@pytest.mark.parametrize("move", [lambda m: m.moveToWavelength(779.0), lambda m: m.moveSteps(100)],
                         ids=["moveToWavelength", "moveSteps"])
def test_move_into_a_switch_ends_with_connection_error_and_pending_stop(m, lib, monkeypatch, capsys, move):
    drive, model, _ = on_drive(m, lib, monkeypatch)
    m._motor__limitSwitch = recovered_by_window(m)
    drive.inputs = [1]
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        move(m)
    assert capsys.readouterr().out == ""
    assert m._motor__stop is True
    assert model.writes == []
