"""The IOC on the simulated controller, driven by a Channel Access client:
moves, a stop in the middle of a move, readbacks, refused setpoints."""
import math

import pytest

from helpers.ioc import close, pvs, severity, value, wait_until

FIELDS = ("MOTOR", "MOTOR.RBV", "MOTOR.DMOV", "MOTOR.MOVN", "MOTOR.STOP", "MOTOR.VELO",
          "STATE", "MESSAGE", "MOTOR.LVIO")


def test_move_stop_mid_move_and_read_back(serve, client, sim):
    ioc = serve("MOVE:")
    val, rbv, dmov, movn, stop, velo, state, message, _ = pvs(client(), ioc.prefix, *FIELDS)
    wait_until(lambda: value(state) == 0 and close(value(rbv), 780.0), 20, what="connected at 780 nm")

    # A slow profile leaves plenty of time to stop halfway on a busy machine.
    velo.write(2.0, wait=True)
    wait_until(lambda: close(value(velo), 2.0, 0.05), 10, what="speed set")

    val.write(770.0, wait=False)
    wait_until(lambda: value(movn) == 1, 10, what="move started")
    assert value(dmov) == 0
    seen = set()
    wait_until(lambda: seen.add(round(value(rbv), 4)) or value(rbv) < 778.5, 20, what="halfway")
    assert len(seen) >= 2, "readback not updated while moving"
    stop.write(1, wait=True)
    wait_until(lambda: value(dmov) == 1, 10, what="stopped")
    assert value(movn) == 0
    stopped_at = value(rbv)
    assert 770.5 < stopped_at < 778.5
    assert not sim.moving()
    assert value(message).startswith("Move to 770.0000 nm: stopped at")
    # The readback is the controller's position, not the setpoint.
    assert close(value(rbv), stopped_at, 1e-6)

    # A new setpoint during a move replaces it; DMOV stays 0 until the last one is reached.
    val.write(790.0, wait=False)
    wait_until(lambda: value(rbv) > stopped_at + 1.0, 20, what="move to 790 under way")
    val.write(781.0, wait=False)
    done = []
    wait_until(lambda: done.append(value(dmov)) or close(value(rbv), 781.0) and value(dmov) == 1, 30,
               what="second setpoint reached")
    assert 0 in done
    assert not sim.moving() and value(rbv) < 782.0
    assert value(state) == 0 and severity(rbv) == 0


@pytest.mark.parametrize("setpoint", [759.0, 801.5, math.nan])
def test_setpoint_outside_the_range_is_refused(serve, client, sim, setpoint):
    ioc = serve("RANGE:")
    val, rbv, dmov, lvio = pvs(client(), ioc.prefix, "MOTOR", "MOTOR.RBV", "MOTOR.DMOV", "MOTOR.LVIO")
    wait_until(lambda: close(value(rbv), 780.0), 20, what="connected")
    sim.clear_trace()
    val.write(setpoint, wait=False)  # the server answers with a put failure
    wait_until(lambda: value(lvio) == 1, 10, what="limit violation")
    assert value(dmov) == 1
    assert close(value(val), 780.0)
    assert sim.command_count("VCS_MoveToPosition") == 0


def test_settings_beside_the_record_reach_the_module(serve, client, sim):
    ioc = serve("SETTINGS:")
    val, rbv, dmov, hp, trigger, width, current, state = pvs(
        client(), ioc.prefix, "MOTOR", "MOTOR.RBV", "MOTOR.DMOV", "HIGH_PRECISION", "TRIGGER",
        "TRIGGER_WIDTH", "CURRENT", "STATE")
    wait_until(lambda: value(state) == 0 and close(value(rbv), 780.0), 20, what="connected")
    hp.write(1, wait=True)  # On
    trigger.write(1, wait=True)  # Position compare
    width.write(0.5, wait=True)
    wait_until(lambda: sim.command_count("VCS_SetPositionCompareParameter") > 0, 10, what="trigger width")
    sim.clear_trace()

    val.write(776.0, wait=False)  # toward shorter wavelengths: past the target, then back up
    currents = []
    wait_until(lambda: currents.append(value(current)) or value(dmov) == 1 and close(value(rbv), 776.0), 20,
               what="move done")
    assert sim.command_count("VCS_MoveToPosition") == 2
    # A pulse every 0.5 nm: 4 nm plus the overshoot of 10000 steps (5 nm) out, 5 nm back.
    assert 26 <= sim.pulse_count() <= 30
    assert any(c != 0 for c in currents)
