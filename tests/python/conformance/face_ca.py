"""Channel Access through ophyd-async's motor-record device (ca://), against
the IOC, plus the IOC's STATE and CALIBRATE beside the record."""
from face import STATE_ALARMS
from ophyd_async_face import OphydAsyncFace

# ophyd-async's Motor counts a move done when the put to VAL completes and
# reads nothing else; the motor record completes that put however the move
# ended and tells a miss only through MISS, HLS/LLS and the alarm.
PUT_COMPLETION_ONLY = ("ophyd-async's Motor ends set() on the put completion of VAL alone; a motor record "
                       "completes that put however the move ended (the miss shows in MISS, HLS/LLS and the "
                       "alarm, which the device does not read)")

# aioca reports a put the server refused (ECA_PUTFAIL) by raising CANothing,
# an exception that is false in a boolean test; the retry wrapper around
# ophyd-async's Signal.set (stamina on tenacity) takes it for success, so the
# refused move's status completes as done (ophyd-async 0.21.3, aioca 2.1,
# stamina 26.2).
FALSY_PUT_FAILURE = ("ophyd-async's Signal.set over aioca completes a put the IOC refused as a success "
                     "(aioca's CANothing is a falsy exception, and stamina's retry context swallows it)")


class OphydAsyncCA(OphydAsyncFace):
    name = "ca-ophyd-async"
    requires = ("ophyd_async.epics.motor", "aioca", "caproto", "bluesky")
    scheme = "ca://"  # another scheme ("pva://") and serve() make the face of another protocol
    private_network = True  # aioca is libca
    cannot = {"lost_move_fails": PUT_COMPLETION_ONLY, "limit_move_fails": PUT_COMPLETION_ONLY}
    known_failures = {"refused_until_calibrated": FALSY_PUT_FAILURE, "refused_while_lost": FALSY_PUT_FAILURE}

    motor = None

    def serve(self, rig):
        """Starts the server; the PV prefix the client connects to."""
        from served import serve_ioc
        serve_ioc(rig)
        return rig.name

    def open(self, rig):
        from ophyd_async.epics.core import epics_signal_r, epics_signal_rw
        from ophyd_async.epics.motor import Motor, MotorLimitsError

        prefix = self.serve(rig)
        self.refusals = (MotorLimitsError,)
        self.make_run_engine()
        self.motor = Motor(self.scheme + prefix + "MOTOR", name="grating")
        self.state = epics_signal_r(str, self.scheme + prefix + "STATE", name="state")
        self.calibration = epics_signal_rw(float, self.scheme + prefix + "CALIBRATE", name="calibrate")
        for device in (self.motor, self.state, self.calibration):
            self._run(device.connect(timeout=20))
        self.wait_ready()
        self.controller = rig.controller

    def close(self):
        pass  # the IOC stops with the test; ophyd-async's channels go with it

    def position(self):
        return self._get(self.motor.user_readback)

    def moving(self):
        return self._get(self.motor.motor_done_move) == 0

    def alarm(self):
        return STATE_ALARMS[self._get(self.state)]

    def limit_switches(self):
        return bool(self._get(self.motor.low_limit_switch)), bool(self._get(self.motor.high_limit_switch))

    def limits(self):
        return self._get(self.motor.low_limit_travel), self._get(self.motor.high_limit_travel)

    def speed(self):
        return self._get(self.motor.velocity)

    def set_speed(self, velocity):
        self._wait(lambda: self.motor.velocity.set(velocity))  # the put's completion

    def calibrate(self, wavelength):
        self._wait(lambda: self.calibration.set(wavelength))



FACES = [OphydAsyncCA]
