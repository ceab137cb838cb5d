"""One motor, every face: the same scenarios with the same outcome whichever
way a client reaches the grating (face.py says what a face offers; the faces
are the face_*.py files here). Each test starts at 780 nm on a fresh
simulated controller whose clock runs at conftest.WALL_SPEED."""
import contextlib
import math
import time

import pytest

from face import FAULT, LIMIT, NO_ALARM, MoveFailed

# How far from its target a move may end and count as arrived, nm: the
# landing tolerance (20 steps, about 0.01 nm) with room for the readback's
# rounding on the way.
TOLERANCE = 0.02
SLOW = 2.0           # nm/s: a move of a few nm leaves time to act in the middle
STEPS_PER_NM = 2000  # about, on the simulated controller's calibration


def until(predicate, timeout=30.0, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %s s waiting for %s" % (timeout, what))
        time.sleep(0.02)


def near(value, target, tolerance=TOLERANCE):
    return math.isfinite(value) and abs(value - target) <= tolerance


def standing(face):
    """The face shows the motor standing, and the controller agrees."""
    until(lambda: not face.moving(), 20, what="%s to show the motor standing" % face.name)
    assert not face.controller.moving()


def arrived(face, target):
    standing(face)
    assert near(face.position(), target), (face.position(), target)
    assert face.alarm() == NO_ALARM


def ended(pending, timeout=60.0):
    """"arrived", or the reason the face gave for another end; fails the
    test when the face reports no end at all."""
    try:
        pending.wait(timeout)
    except MoveFailed as exc:
        return "failed: %s" % exc
    return "arrived"


@pytest.mark.scenario("move_and_wait")
def test_move_and_wait(face):
    for target in (784.0, 777.5):  # and back, past the start
        face.move(target)
        assert not face.controller.moving(), "reported done while the controller still moved"
        arrived(face, target)


@pytest.mark.scenario("move_without_waiting")
def test_move_without_waiting(face):
    face.set_speed(SLOW)
    pending = face.start_move(785.0)
    seen = set()
    until(lambda: seen.add(round(face.position(), 4)) or pending.done(), 60, what="the move's end")
    # The face showed the move under way before it reported the end.
    assert any(780.05 < position < 784.95 for position in seen), sorted(seen)
    pending.wait(5)
    arrived(face, 785.0)


def _stopped_halfway(face):
    """A slow move toward 770 nm stopped halfway; how the face reported it."""
    face.set_speed(SLOW)
    pending = face.start_move(770.0)
    until(lambda: face.position() < 778.5, 60, what="halfway")
    face.stop()
    outcome = ended(pending)
    standing(face)
    return outcome


@pytest.mark.scenario("stop_mid_move")
def test_stop_mid_move(face):
    _stopped_halfway(face)
    stopped_at = face.position()
    assert 770.5 < stopped_at < 778.5
    assert face.alarm() == NO_ALARM
    face.move(781.0)  # and the next move goes
    arrived(face, 781.0)


@pytest.mark.scenario("stopped_move_fails")
def test_stopped_move_is_not_reported_done(face):
    assert _stopped_halfway(face).startswith("failed"), "a stopped move reported as arrived"


@pytest.mark.scenario("out_of_range_refused")
def test_out_of_range_setpoint_is_refused(face):
    low, high = face.limits()
    assert (low, high) == (760.0, 800.0)
    face.controller.clear_trace()
    for target in (low - 1.0, high + 0.5):
        with pytest.raises(MoveFailed):
            face.move(target, timeout=30)
    assert face.controller.command_count("VCS_MoveToPosition") == 0
    arrived(face, 780.0)
    face.move(high)  # the ends themselves are in range
    arrived(face, high)


@pytest.mark.scenario("new_setpoint_while_moving")
def test_new_setpoint_while_moving(face):
    face.set_speed(SLOW)
    first = face.start_move(790.0)
    until(lambda: face.position() > 781.5, 60, what="the first move under way")
    second = face.start_move(781.0)
    second.wait(60)
    arrived(face, 781.0)
    # The first request has ended too (how it ended differs between clients:
    # replaced, or done together with the move that replaced it).
    ended(first, 10)
    assert face.position() < 782.0


def _into_the_low_switch(face):
    """A move toward shorter wavelengths that runs into a limit switch at
    about 775 nm; how the face reported that move."""
    face.controller.set_limit_switches(-45000, 10000)
    outcome = ended(face.start_move(765.0))
    until(lambda: face.alarm() == LIMIT, 60, what="the limit-switch alarm")
    return outcome


@pytest.mark.scenario("limit_move_fails")
def test_limit_switch_fails_the_move(face):
    assert _into_the_low_switch(face).startswith("failed"), "a move ended by a limit switch reported as arrived"


@pytest.mark.scenario("limit_switch")
def test_limit_switch_alarm_recovery_and_calibration(face):
    _into_the_low_switch(face)
    assert face.limit_switches() == (True, False)
    standing(face)
    assert face.position() > 776.0  # backed off toward the middle of the range
    assert face.alarm() == LIMIT
    _calibrated_after_the_switch(face)


def _calibrated_after_the_switch(face):
    face.controller.clear_trace()
    face.calibrate(790.0)
    until(lambda: face.alarm() == NO_ALARM, 30, what="the alarm to clear")
    until(lambda: near(face.position(), 790.0), 10, what="the calibrated readback")
    assert face.limit_switches() == (False, False)
    assert face.controller.command_count("VCS_MoveToPosition") == 0
    face.controller.set_limit_switches(-10 ** 6, 10 ** 6)  # out of the way
    face.move(788.0)
    arrived(face, 788.0)


@pytest.mark.scenario("refused_until_calibrated")
def test_limit_switch_refuses_moves_until_calibrated(face):
    _into_the_low_switch(face)
    standing(face)
    face.controller.clear_trace()
    with pytest.raises(MoveFailed):
        face.move(778.0, timeout=30)
    assert face.controller.command_count("VCS_MoveToPosition") == 0
    assert face.alarm() == LIMIT
    _calibrated_after_the_switch(face)


@contextlib.contextmanager
def controller_away(face):
    """The controller's cable out for the block, then back; returns once the
    face shows the controller back."""
    face.controller.unplug()
    try:
        yield
    finally:
        face.controller.plug()
    until(lambda: face.alarm() == NO_ALARM, 30, what="the controller back")


@pytest.mark.scenario("lost_move_fails")
def test_lost_controller_fails_the_running_move(face):
    face.set_speed(SLOW)
    pending = face.start_move(790.0)
    until(lambda: face.position() > 781.0, 60, what="the move under way")
    with controller_away(face):
        assert ended(pending).startswith("failed"), "a move cut off by a lost controller reported as arrived"
        assert face.alarm() == FAULT


@pytest.mark.scenario("controller_lost_and_back")
def test_controller_lost_and_back(face):
    with controller_away(face):
        until(lambda: face.alarm() == FAULT, 30, what="the fault")
    face.move(785.0)
    arrived(face, 785.0)


@pytest.mark.scenario("refused_while_lost")
def test_lost_controller_refuses_moves(face):
    with controller_away(face):
        until(lambda: face.alarm() == FAULT, 30, what="the fault")
        with pytest.raises(MoveFailed):
            face.move(785.0, timeout=30)
        assert face.alarm() == FAULT


@pytest.mark.scenario("calibration")
def test_calibration(face):
    face.controller.clear_trace()
    before = face.controller.position()
    face.calibrate(790.0)
    until(lambda: near(face.position(), 790.0), 10, what="the calibrated readback")
    assert face.controller.command_count("VCS_MoveToPosition") == 0
    assert face.controller.position() == before  # nothing moved
    face.move(788.0)
    arrived(face, 788.0)
    # 2 nm toward shorter wavelengths on the new scale: the controller moved
    # by about 2 nm's worth of steps, positions growing toward shorter ones.
    moved = face.controller.position() - before
    assert 0.75 * 2 * STEPS_PER_NM < moved < 1.25 * 2 * STEPS_PER_NM, moved


@pytest.mark.scenario("speed")
def test_speed(face):
    face.controller.clear_trace()
    for velocity in (SLOW, 2 * SLOW):
        face.set_speed(velocity)
        until(lambda: near(face.speed(), velocity, 0.05 * velocity), 10, what="the speed read back")
    assert face.controller.command_count("VCS_SetPositionProfile") >= 2
    face.move(782.0)
    arrived(face, 782.0)


POINTS = [776.0 + 8.0 * i / 19 for i in range(20)]


@pytest.mark.scenario("scan")
def test_scan_reads_each_point_where_it_asked(face):
    readings = face.scan(POINTS, lambda: (face.controller.moving(), face.controller.position()))
    assert len(readings) == len(POINTS)
    positions = []
    for asked, (shown, (moving, position)) in zip(POINTS, readings):
        assert near(shown, asked), (asked, shown)
        assert not moving, "read while the controller was still moving (at %s nm)" % asked
        positions.append(position)
    # The controller stood at 20 different places, toward longer wavelengths each time.
    steps = [b - a for a, b in zip(positions, positions[1:])]
    assert all(step < 0 for step in steps), positions
    assert near(face.position(), POINTS[-1])
