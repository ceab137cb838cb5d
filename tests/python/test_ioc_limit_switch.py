"""A move through the IOC that runs into a limit switch: the module's
recovery backs off, the IOC raises the alarm, waits for the wavelength on
CALIBRATE instead of a window, and goes on serving. The test runs without a
display: a Tk window would fail the move instead of asking on CALIBRATE."""

from helpers.ioc import close, pvs, severity, value, wait_until

CALIBRATION_NEEDED, IDLE = 3, 0
MAJOR = 2


def test_limit_switch_raises_the_alarm_and_the_ioc_keeps_serving(serve, client, sim):
    ioc = serve("LIMIT:", wall_speed=4.0)
    val, rbv, dmov, lls, hls, state, message, calibrate = pvs(
        client(), ioc.prefix, "MOTOR", "MOTOR.RBV", "MOTOR.DMOV", "MOTOR.LLS", "MOTOR.HLS",
        "STATE", "MESSAGE", "CALIBRATE")
    wait_until(lambda: value(state) == IDLE and close(value(rbv), 780.0), 20, what="connected")
    # A switch inside the range, at about 775 nm (positions grow toward shorter wavelengths).
    sim.set_limit_switches(-45000, 10000)

    val.write(765.0, wait=True)
    wait_until(lambda: value(state) == CALIBRATION_NEEDED, 30, what="calibration request")
    assert severity(rbv) == MAJOR and severity(val) == MAJOR and severity(state) == MAJOR
    assert (value(lls), value(hls)) == (1, 0)
    assert value(dmov) == 1
    assert "CALIBRATE" in value(message)
    assert value(rbv) > 780.0  # backed off toward the middle of the range
    assert sim.drive_state() == "enabled"
    # A STOP pressed now changes nothing, the alarm included.
    pvs(client(), ioc.prefix, "MOTOR.STOP").write(1, wait=True)
    wait_until(lambda: severity(rbv) == MAJOR and severity(val) == MAJOR, 5, what="alarm kept")
    assert value(state) == CALIBRATION_NEEDED
    # No new move before the calibration.
    val.write(778.0, wait=False)
    sim.clear_trace()

    calibrate.write(790.0, wait=True)
    wait_until(lambda: value(state) == IDLE, 20, what="calibrated and connected again")
    assert severity(rbv) == 0 and (value(lls), value(hls)) == (0, 0)
    assert close(value(rbv), 790.0)
    assert sim.command_count("VCS_Store") == 1  # the calibration is kept in the controller
    assert sim.command_count("VCS_MoveToPosition") == 0

    val.write(788.0, wait=True)
    wait_until(lambda: value(dmov) == 0 or close(value(rbv), 788.0), 10, what="move started")
    wait_until(lambda: value(dmov) == 1, 20, what="move done")
    assert close(value(rbv), 788.0)


def test_shutting_down_while_waiting_for_the_calibration(serve, client, sim):
    import vostelmotor
    sleep = vostelmotor.sleep
    ioc = serve("LIMITSTOP:", wall_speed=4.0)
    rbv, state, val = pvs(client(), ioc.prefix, "MOTOR.RBV", "STATE", "MOTOR")
    wait_until(lambda: value(state) == IDLE and close(value(rbv), 780.0), 20, what="connected")
    sim.set_limit_switches(-10000, 45000)  # at about 785 nm

    val.write(795.0, wait=True)
    wait_until(lambda: value(state) == CALIBRATION_NEEDED, 30, what="calibration request")
    assert value(pvs(client(), ioc.prefix, "MOTOR.HLS")) == 1
    ioc.stop(timeout=20)
    assert vostelmotor.sleep is sleep  # the module's own wait again
    assert sim.drive_state() == "disabled" and not sim.moving()  # disconnected, standing
