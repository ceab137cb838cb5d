"""Stops on the simulated controller with a drive that brakes slowly: the
position is taken once the drive stands, disconnect() during a move (from a
signal handler on the move's thread or from another thread) stops it first,
and the repair connect() makes after a lost position is done whole or stays
pending."""
import signal
import threading
import time

import pytest

import vostelmotor
from helpers.simulated import sent


@pytest.fixture
def m(connected_sim_motor):
    return connected_sim_motor


def wavelength_of(m, position):
    return m._motor__motorpositionToWavelength(position + m._motor__offset)


def fresh_reading(sim):
    """A new object's wavelength against the one where the grating stands."""
    fresh = vostelmotor.motor()
    assert fresh.connect() is True
    return fresh.getWavelength(), wavelength_of(fresh, sim.position())


class At:
    """The module's sleep on the virtual clock, running `action` once the
    simulated time has passed `seconds` from now."""

    def __init__(self, sim, seconds, action, real_pause=0.0):
        self.sim, self.due, self.action, self.real_pause = sim, sim.time() + seconds, action, real_pause

    def __call__(self, seconds):
        self.sim.advance(seconds)
        if self.real_pause:
            time.sleep(self.real_pause)  # lets another thread in between the polls
        if self.action and self.sim.time() >= self.due:
            action, self.action = self.action, None
            action()


@pytest.mark.parametrize("deceleration, stop_at", [(600, 1.2), (300, 0.6)])
def test_a_stop_stores_the_position_the_drive_comes_to_stand_at(m, sim, monkeypatch, deceleration, stop_at):
    """From 1000 rpm the drive brakes for 1.7 s at 600 rpm/s, from 600 rpm for
    2 s at 300 rpm/s: what the stop returns and stores is where it stands."""
    assert sim.set_quick_stop_deceleration(deceleration)
    monkeypatch.setattr(vostelmotor, "sleep", At(sim, stop_at, m.stopMovement))
    reached = m.moveToWavelength(760.0)
    assert not sim.moving() and sim.drive_state() == "enabled"
    assert reached == pytest.approx(wavelength_of(m, sim.position()), abs=1e-9)
    assert m._motor__HomePosition().value == sim.position() + m._motor__offset
    m.disconnect()
    read, truth = fresh_reading(sim)
    assert read == pytest.approx(truth, abs=1e-9)


def test_disconnect_from_a_signal_handler_on_the_moving_thread(m, sim, monkeypatch):
    """A SIGTERM handler that calls disconnect() runs on the move's thread: the
    drive is stopped and the position it comes to stand at stored, then it
    is switched off; the move raises the error that says what happened."""
    assert sim.set_quick_stop_deceleration(600)
    previous = signal.signal(signal.SIGTERM, lambda signum, frame: m.disconnect())
    try:
        monkeypatch.setattr(vostelmotor, "sleep", At(sim, 1.2, lambda: signal.raise_signal(signal.SIGTERM)))
        with pytest.raises(ConnectionError, match=r"ended by disconnect\(\).*stored.*connect\(\) again"):
            m.moveToWavelength(760.0)
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert m._motor__connection is False and m.getMoving() is False
    names = [c["name"] for c in sim.trace()["commands"]]
    assert names.index("VCS_SetQuickStopState") < names.index("VCS_Store") < names.index("VCS_SetDisableState")
    assert not sim.moving()
    read, truth = fresh_reading(sim)
    assert read == pytest.approx(truth, abs=1e-9)


@pytest.mark.parametrize("run", range(3))
def test_disconnect_from_another_thread_ends_the_move_with_its_own_error(m, sim, monkeypatch, run):
    """The move keeps polling while disconnect() waits for the quick-stopped
    drive to stand: it must not mistake the standing drive for one that
    stopped on its own."""
    assert sim.set_quick_stop_deceleration(600)
    monkeypatch.setattr(vostelmotor, "sleep", At(sim, 0, None, real_pause=0.002))
    out = []

    def move():
        try:
            out.append(m.moveToWavelength(760.0))
        except BaseException as e:  # handed to the test thread
            out.append(e)

    mover = threading.Thread(target=move)
    start = sim.time()
    mover.start()
    deadline = time.monotonic() + 60
    while sim.time() < start + 1.2 and time.monotonic() < deadline:
        time.sleep(0.001)
    m.disconnect()
    mover.join(60)
    assert not mover.is_alive()
    assert isinstance(out[0], ConnectionError), out
    assert "ended by disconnect()" in str(out[0]) and "connect() again" in str(out[0])
    assert "on its own" not in str(out[0])
    assert not sim.moving() and m.getMoving() is False
    read, truth = fresh_reading(sim)
    assert read == pytest.approx(truth, abs=1e-9)


def lose_the_position(m, sim, monkeypatch):
    """Ctrl+C during a move whose position cannot be read afterwards: nothing
    is stored and the object is left not connected, the repair pending."""

    def interrupt():
        sim.fail_next("VCS_GetPositionIs", -1)
        raise KeyboardInterrupt

    monkeypatch.setattr(vostelmotor, "sleep", At(sim, 0.5, interrupt))
    with pytest.raises(KeyboardInterrupt):
        m.moveToWavelength(795.0)
    sim.fail_next("VCS_GetPositionIs", 0)
    monkeypatch.setattr(vostelmotor, "sleep", sim.advance)
    assert m._motor__connection is False and not sim.moving()


@pytest.mark.parametrize("escape", ["ctrl_c", "refused store"])
def test_an_interrupted_repair_stays_pending(m, sim, monkeypatch, escape):
    truth = m._motor__offset
    lose_the_position(m, sim, monkeypatch)
    stands = sim.position()
    if escape == "ctrl_c":
        def interrupt(kind):
            raise KeyboardInterrupt

        m._motor__deactivateTriggerOutput = interrupt
        with pytest.raises(KeyboardInterrupt):
            m.connect()
        del m._motor__deactivateTriggerOutput
    else:
        sim.fail_next("VCS_SetObject", 1)
        with pytest.raises(ConnectionError, match="connect again"):
            m.connect()
    assert m._motor__connection is False
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.moveToWavelength(785.0)
    assert sent(sim, "VCS_MoveToPosition")[-1]["t"] < sim.time()  # nothing new was started

    assert m.connect() is True  # the repair, done whole this time
    assert m._motor__HomePosition().value == stands + truth
    assert m.moveToWavelength(785.0) == pytest.approx(785.0, abs=0.01)
    assert wavelength_of(m, sim.position()) == pytest.approx(785.0, abs=0.01)
    m.disconnect()
    read, actual = fresh_reading(sim)
    assert read == pytest.approx(actual, abs=1e-9)
