"""Supervision of a running move against the fake library: the polling
pass, limit switch, stop request, support-data samples, and the safe state
left behind when an error escapes."""
import ctypes
import types

import pytest

import vostelmotor
from helpers.library import HOME_INDEX, entry_call, expect, keep_entries
from helpers.drive import on_drive, position_read


QUICK_STOP_DECELERATION = 0x6085


@pytest.fixture
def rig(m, lib, monkeypatch):
    drive, model, sleeps = on_drive(m, lib, monkeypatch, offset=40, position=1000)
    triggers = []
    m._motor__deactivateTriggerOutput = lambda kind: triggers.append(kind)
    return m, lib, drive, model, sleeps, triggers


def brakes_for(drive, lib, polls):
    """A quick stop that the drive reports standing from at the `polls`-th
    movement-state query after it."""

    def quick_stop(args):
        drive.polls_per_move = drive.polls + polls

    lib.fill["VCS_SetQuickStopState"] = quick_stop


def before_stop(lib):
    names = lib.names()
    return names[:names.index("VCS_SetQuickStopState")]


def supervise(m, trigger=0, word=0):
    pLimitSwitch = ctypes.c_short(word)
    m._motor__waittillmovementdone(trigger, pLimitSwitch)
    return pLimitSwitch


def test_reached_target_still_makes_one_full_pass_then_stores_the_model_position(rig):
    m, lib, drive, model, sleeps, triggers = rig
    supervise(m, trigger=2)
    expect(lib, [("VCS_GetMovementState", [7, 0, ("ref", 1), ("ref", 0)]),
                 ("VCS_GetAllDigitalInputs", [7, 0, ("ref", 0), ("ref", 0)]),
                 position_read(1000), position_read(1000)])
    assert sleeps.seconds == [0.1]
    assert model.writes == [(HOME_INDEX, 0, ctypes.c_int, 1040)]
    assert triggers == [2]
    assert m._motor__moving is False


def test_limit_switch_wins_over_reached_target_and_nothing_is_stored(rig):
    m, lib, drive, model, sleeps, triggers = rig
    drive.inputs = [2]
    recoveries = []
    m._motor__limitSwitch = lambda: recoveries.append(m._motor__moving)
    word = supervise(m, trigger=1)
    assert recoveries == [True]
    assert word.value == 2
    assert "VCS_GetPositionIs" not in lib.names()
    assert model.writes == []
    assert triggers == [1]
    assert m._motor__moving is False


def test_stop_request_quick_stops_waits_until_the_drive_stands_enables_and_stores(rig):
    """The position is taken once the drive reports standing, however long
    it brakes, not after a fixed pause."""
    m, lib, drive, model, sleeps, triggers = rig
    drive.polls_per_move = 100
    brakes_for(drive, lib, 4)

    def stop_then_roll(n):
        if n == 3:
            m.stopMovement()
        drive.position += 10  # rolls on while it brakes

    sleeps.on_call = stop_then_roll
    supervise(m)
    tail = lib.names()[-8:]
    assert tail == ["VCS_SetQuickStopState", "VCS_GetObject"] + ["VCS_GetMovementState"] * 4 + [
        "VCS_SetEnableState", "VCS_GetPositionIs"]
    assert sleeps.seconds == [0.1] * 6
    assert before_stop(lib).count("VCS_GetMovementState") == 3
    assert model.home_writes() == [1000 + 60 + 40]
    assert m._motor__stop is True  # the move methods clear it


def test_pending_stop_skips_the_loop(rig, lib):
    m, lib, drive, model, sleeps, triggers = rig
    keep_entries(lib, {(QUICK_STOP_DECELERATION, 0): 600})
    m.stopMovement()
    supervise(m)
    expect(lib, [("VCS_SetQuickStopState", [7, 0, ("ref", 0)]),
                 entry_call("VCS_GetObject", QUICK_STOP_DECELERATION, 0, 600),
                 ("VCS_GetMovementState", [7, 0, ("ref", 1), ("ref", 0)]),
                 ("VCS_SetEnableState", [7, 0, ("ref", 0)]),
                 position_read(1000)])
    assert sleeps.seconds == []


@pytest.mark.parametrize("deceleration, polls", [(600, 92), (4900, 20), (0, 100)],
                         ids=["600 rpm/s", "4900 rpm/s", "unreadable"])
def test_a_drive_that_never_reports_standing_is_an_error_that_says_so(rig, lib, deceleration, polls):
    """The wait lasts as long as braking from the top speed (4900 rpm) takes at
    the controller's quick-stop deceleration, and a second more; nothing is
    stored and the next connect() is left to store the position."""
    m, lib, drive, model, sleeps, triggers = rig
    if deceleration:
        keep_entries(lib, {(QUICK_STOP_DECELERATION, 0): deceleration})
    drive.polls_per_move = 10 ** 9
    m.stopMovement()
    with pytest.raises(ConnectionError, match="did not report standing") as info:
        supervise(m)
    assert "connect() again" in str(info.value)
    names = lib.names()
    first_wait = names[names.index("VCS_GetObject") + 1:names.index("VCS_SetQuickStopState", 1)]
    assert first_wait == ["VCS_GetMovementState"] * (polls + 1)
    assert model.home_writes() == []
    assert m._motor__connection is False and m._motor__moving is False


def test_stop_movement_only_sets_the_flag(m, lib):
    assert m.stopMovement() is None
    assert m._motor__stop is True
    expect(lib, [])


@pytest.mark.parametrize("passes, lines", [(9, 0), (25, 2)])
def test_support_samples_every_tenth_pass_with_the_raw_position(rig, tmp_path, passes, lines):
    m, lib, drive, model, sleeps, triggers = rig
    path = tmp_path / "support.txt"
    m._motor__generateSupportData = True
    m._motor__supportFilePath = str(path)
    drive.polls_per_move = passes
    drive.current = -37
    supervise(m)
    text = path.read_text() if path.exists() else ""
    assert text == "Position: 1000, Current: -37\n" * lines
    assert lib.names().count("VCS_GetCurrentIs") == lines


def assert_safe_state(m, lib, model, triggers, trigger):
    names = lib.names()
    assert "VCS_SetQuickStopState" in names
    assert names.index("VCS_SetEnableState") > names.index("VCS_SetQuickStopState")
    assert model.home_writes()[-1] == 1040
    assert triggers[-1] == trigger
    assert m._motor__moving is False


def test_unwritable_support_file_leaves_a_safe_state(rig):
    m, lib, drive, model, sleeps, triggers = rig
    m._motor__generateSupportData = True
    m._motor__supportFilePath = ""
    drive.polls_per_move = 50
    with pytest.raises(FileExistsError, match="Support file not found.") as info:
        supervise(m, trigger=2)
    assert isinstance(info.value.__context__, OSError)
    assert before_stop(lib).count("VCS_GetMovementState") == 10
    assert_safe_state(m, lib, model, triggers, 2)


def test_ctrl_c_leaves_a_safe_state_even_when_cleanup_fails(rig, lib):
    m, lib, drive, model, sleeps, triggers = rig
    drive.polls_per_move = 50

    def interrupt(n):
        if n >= 3:  # the pause of the safe state is interrupted as well
            raise KeyboardInterrupt

    sleeps.on_call = interrupt
    lib.results["VCS_SetQuickStopState"] = 0  # reported, not raised
    # Disabled, the drive stands at once: the safe state does not pause.
    lib.fill["VCS_SetDisableState"] = lambda args: setattr(drive, "polls_per_move", drive.polls + 1)
    with pytest.raises(KeyboardInterrupt):
        supervise(m, trigger=1)
    assert_safe_state(m, lib, model, triggers, 1)

    # A cleanup step that raises does not hide the interruption.
    lib.calls.clear()
    model.writes.clear()
    drive.polls, drive.polls_per_move = 0, 50
    m._motor__SetIndexValue = lambda *a: (_ for _ in ()).throw(ConnectionError("Motor not connected"))
    sleeps.seconds.clear()
    with pytest.raises(KeyboardInterrupt):
        supervise(m, trigger=1)
    assert m._motor__moving is False
    assert triggers[-1] == 1


def test_ctrl_c_while_the_drive_brakes_stores_nothing_and_leaves_it_to_connect(rig):
    m, lib, drive, model, sleeps, triggers = rig
    drive.polls_per_move = 50
    brakes_for(drive, lib, 10)

    def interrupt(n):
        drive.position += 100
        if n in (2, 3):  # the move's pause, then the wait for the drive to stand
            raise KeyboardInterrupt

    sleeps.on_call = interrupt
    with pytest.raises(KeyboardInterrupt):
        supervise(m)
    assert model.home_writes() == []
    assert m._motor__connection is False and m._motor__moving is False
    assert lib.names()[-1] == "VCS_CloseDevice"


def test_stored_position_after_ctrl_c_is_where_the_drive_stands(rig):
    """The next move plans from the stored entry: after an interruption it
    must hold the position reached, not the one before the move."""
    m, lib, drive, model, sleeps, triggers = rig
    drive.polls_per_move = 50

    def interrupt(n):
        drive.position += 100  # the drive keeps moving until stopped
        if n == 2:
            raise KeyboardInterrupt

    sleeps.on_call = interrupt
    with pytest.raises(KeyboardInterrupt):
        supervise(m)
    assert model.home == drive.position + 40


def test_ct_rebound_during_a_pause_serves_the_reads_after_it(rig, monkeypatch):
    """Module-level names are looked up as the loop goes on, not once for the
    whole move: a `ct` replaced while the loop pauses makes the reads after
    that pause."""
    m, lib, drive, model, sleeps, triggers = rig
    drive.polls_per_move = 3
    wrapped = []
    other = types.ModuleType("other_ctypes")
    other.__dict__.update(ctypes.__dict__)
    other.byref = lambda obj: wrapped.append(type(obj).__name__) or ctypes.byref(obj)
    sleeps.on_call = lambda n: monkeypatch.setattr(vostelmotor, "ct", other) if n == 2 else None
    supervise(m)
    # Each command passes its cell and the error cell through ct.byref. From
    # the second pause on: that poll's two reads, the third poll, the last read.
    cell32 = ctypes.c_long if ctypes.sizeof(ctypes.c_long) == 4 else ctypes.c_int32
    inputs, position, error = "c_short", cell32.__name__, type(m._motor__pErrorCode).__name__
    state = position
    assert wrapped == [inputs, error, position, error,
                       state, error, inputs, error, position, error,
                       position, error]


@pytest.mark.parametrize("disable_refused", [False, True])
def test_a_refused_quick_stop_disables_the_drive_and_says_whether_it_stopped(connected_sim_motor, sim, monkeypatch,
                                                                             disable_refused):
    m = connected_sim_motor
    truth = m._motor__offset
    m.setVelocityParameter(2.0, 10.0, 10.0)  # a move that outlasts the wait for the drive to stand
    sim.fail_next("VCS_SetQuickStopState", -1)
    if disable_refused:
        sim.fail_next("VCS_SetDisableState", -1)
    pauses = []

    def pause(seconds):
        sim.advance(seconds)
        pauses.append(seconds)
        if len(pauses) == 5:
            m.stopMovement()

    monkeypatch.setattr(vostelmotor, "sleep", pause)
    with pytest.raises(ConnectionError) as info:
        m.moveToWavelength(795.0)
    sim.fail_next("*", 0)
    sim.fail_next("VCS_SetQuickStopState", 0)
    sim.fail_next("VCS_SetDisableState", 0)
    if disable_refused:  # still running: left not connected, connect() stops it and stores where it stands
        assert "was not stopped" in str(info.value) and sim.moving()
        assert m._motor__connection is False
        assert m.connect() is True
    else:
        assert "disabled instead, which stopped it" in str(info.value)
        assert m._motor__connection is True
    assert not sim.moving() and sim.drive_state() == "enabled"
    assert m._motor__HomePosition().value == sim.position() + truth
