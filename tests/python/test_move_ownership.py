"""The move in progress owns the stop requests made during it and keeps a
second move from another thread out, on the simulated controller with real
threads."""
import threading

import pytest

import vostelmotor
from helpers.simulated import position_of, sent


@pytest.fixture
def m(connected_sim_motor):
    return connected_sim_motor


class Paused:
    """The moving thread's sleep: advances the virtual clock and, at its
    first pass, waits until the test thread has done its part."""

    def __init__(self, sim):
        self.sim, self.waiting, self.resume = sim, threading.Event(), threading.Event()

    def __call__(self, seconds):
        self.sim.advance(seconds)
        if not self.waiting.is_set():
            self.waiting.set()
            assert self.resume.wait(60)


def run_in_thread(target):
    out = []

    def body():
        try:
            out.append(target())
        except BaseException as e:  # handed to the test thread
            out.append(e)

    thread = threading.Thread(target=body)
    thread.start()
    return thread, out


@pytest.mark.parametrize("how", ["before, from another thread", "left by the calibration window"])
def test_a_stop_made_while_no_move_runs_does_not_cancel_the_next_move(m, sim, how):
    if how.startswith("before"):
        thread, _ = run_in_thread(m.stopMovement)
        thread.join(60)
    else:
        m._motor__stop = True  # what the window leaves behind
        m.disconnect()
        assert m.connect() is True
    sim.clear_trace()
    assert m.moveToWavelength(772.0) == pytest.approx(772.0, abs=0.01)
    assert sim.position() == position_of(m, 772.0)
    assert sent(sim, "VCS_SetQuickStopState") == [] and m._motor__stop is False


@pytest.mark.parametrize("when", ["during the first leg", "between the legs"])
def test_a_stop_during_a_high_precision_move_ends_the_whole_move(m, sim, monkeypatch, when):
    sim.clear_trace()
    if when == "during the first leg":
        paused = Paused(sim)
        monkeypatch.setattr(vostelmotor, "sleep", paused)
        thread, out = run_in_thread(lambda: m.moveToWavelength(768.0, highPrecision=1))
        assert paused.waiting.wait(60)
        m.stopMovement()
        paused.resume.set()
    else:
        supervise = m._motor__waittillmovementdone
        stopped = threading.Event()

        def supervise_then_stop_from_another_thread(trigger, pLimitSwitch):
            supervise(trigger, pLimitSwitch)
            stopper, _ = run_in_thread(m.stopMovement)
            stopper.join(60)
            stopped.set()

        m._motor__waittillmovementdone = supervise_then_stop_from_another_thread
        thread, out = run_in_thread(lambda: m.moveToWavelength(768.0, highPrecision=1))
    thread.join(60)
    assert not isinstance(out[0], BaseException), out
    assert len(sent(sim, "VCS_MoveToPosition")) == 1  # no second leg
    assert out[0] == pytest.approx(m.getWavelength())
    assert m._motor__stop is False and m.getMoving() is False
    assert m._motor__HomePosition().value == sim.position() + m._motor__offset


def test_a_second_move_from_another_thread_is_refused_and_the_first_goes_on(m, sim, monkeypatch):
    paused = Paused(sim)
    monkeypatch.setattr(vostelmotor, "sleep", paused)
    first, out = run_in_thread(lambda: m.moveToWavelength(770.0))
    assert paused.waiting.wait(60)
    before = len(sim.trace()["commands"])
    for second in (lambda: m.moveToWavelength(790.0), lambda: m.moveSteps(100), lambda: m.moveToWavelength(790.0, 1)):
        thread, refused = run_in_thread(second)
        thread.join(60)
        assert isinstance(refused[0], RuntimeError) and "still running" in str(refused[0])
    assert len(sim.trace()["commands"]) == before  # nothing sent
    paused.resume.set()
    first.join(60)
    assert out == [pytest.approx(770.0, abs=0.01)]
    assert sim.position() == position_of(m, 770.0)
    # Once the first has ended, the other thread may move.
    thread, moved = run_in_thread(lambda: m.moveSteps(100))
    thread.join(60)
    assert not isinstance(moved[0], BaseException)


def test_a_stop_just_before_the_second_leg_sends_no_motion_and_says_no_arrival(m, sim, capsys):
    read_home = m._motor__HomePosition
    reads = []

    def read_then_stop_from_another_thread():
        reads.append(1)
        if len(reads) == 2:  # the second leg reads where the first one stored
            stopper, _ = run_in_thread(m.stopMovement)
            stopper.join(60)
        return read_home()

    m._motor__HomePosition = read_then_stop_from_another_thread
    sim.clear_trace()
    capsys.readouterr()
    reached = m.moveToWavelength(768.0, highPrecision=1)
    assert len(sent(sim, "VCS_MoveToPosition")) == 1 and sent(sim, "VCS_SetQuickStopState") == []
    assert "arrived" not in capsys.readouterr().out
    assert reached == pytest.approx(m.getWavelength())
    assert m._motor__stop is False and m.getMoving() is False


@pytest.mark.parametrize("read", ["works", "fails"])
def test_disconnect_from_another_thread_stops_the_move_and_a_new_object_finds_the_grating(m, sim, monkeypatch, read):
    """disconnect() stores where the drive stopped, or, when it cannot read
    that, stores nothing and leaves it to the next connect() on the port."""
    truth = m._motor__offset
    paused = Paused(sim)
    monkeypatch.setattr(vostelmotor, "sleep", paused)
    start = sim.time()
    mover, out = run_in_thread(lambda: m.moveToWavelength(760.0))
    assert paused.waiting.wait(60)
    if read == "fails":
        sim.fail_at("VCS_GetPositionIs", 1)
    closer, _ = run_in_thread(m.disconnect)
    closer.join(60)
    paused.resume.set()
    mover.join(60)
    assert isinstance(out[0], ConnectionError) and "ended by disconnect()" in str(out[0])
    assert "connect() again" in str(out[0])
    assert ("nothing was stored" in str(out[0])) == (read == "fails")
    assert sim.time() - start < 5.0 and m.getMoving() is False and not sim.moving()
    assert len(sent(sim, "VCS_Store")) == (1 if read == "works" else 0)
    stopped_at = sim.position()
    assert 0 < stopped_at < position_of(m, 760.0)

    fresh = vostelmotor.motor()
    assert fresh.connect() is True
    assert fresh._motor__offset == truth
    assert fresh.getWavelength() == pytest.approx(m._motor__motorpositionToWavelength(stopped_at + truth))
    assert fresh.moveToWavelength(772.0) == pytest.approx(772.0, abs=0.01)
