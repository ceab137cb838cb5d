"""Channel Access through ophyd-async's motor-record device (ca://), against
the IOC, plus the IOC's STATE and CALIBRATE beside the record."""
import asyncio
import time

from face import FAULT, LIMIT, NO_ALARM, Face, MoveFailed, Pending, Refused

ALARMS = {"Idle": NO_ALARM, "Moving": NO_ALARM, "Limit switch": LIMIT, "Calibration needed": LIMIT,
          "Error": FAULT, "Disconnected": FAULT}

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


class OphydAsyncCA(Face):
    name = "ca-ophyd-async"
    requires = ("ophyd_async.epics.motor", "aioca", "caproto", "bluesky")
    scheme = "ca://"
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
        from bluesky import RunEngine
        from ophyd_async.epics.core import epics_signal_r, epics_signal_rw
        from ophyd_async.epics.motor import Motor

        prefix = self.serve(rig)
        self.RE = RunEngine({}, context_managers=[])
        self.motor = Motor(self.scheme + prefix + "MOTOR", name="grating")
        self.state = epics_signal_r(str, self.scheme + prefix + "STATE", name="state")
        self.calibration = epics_signal_rw(float, self.scheme + prefix + "CALIBRATE", name="calibrate")
        for device in (self.motor, self.state, self.calibration):
            self._run(device.connect(timeout=20))
        deadline = time.monotonic() + 30
        while self.alarm() != NO_ALARM or self.moving():
            assert time.monotonic() < deadline, "the IOC did not connect to the controller"
            time.sleep(0.05)
        self.controller = rig.controller

    def close(self):
        pass  # the IOC stops with the test; ophyd-async's channels go with it

    def _submit(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.RE.loop)

    def _run(self, coro, timeout=60.0):
        return self._submit(coro).result(timeout)

    def _get(self, signal):
        return self._run(signal.get_value())

    def start_move(self, target):
        from ophyd_async.epics.motor import MotorLimitsError

        async def move():
            try:
                await self.motor.set(target)
            except MotorLimitsError as exc:
                raise Refused(str(exc)) from exc
        return Pending(self._submit(move()))

    def stop(self):
        self._run(self.motor.stop())

    def position(self):
        return self._get(self.motor.user_readback)

    def moving(self):
        return self._get(self.motor.motor_done_move) == 0

    def alarm(self):
        return ALARMS[self._get(self.state)]

    def limit_switches(self):
        return bool(self._get(self.motor.low_limit_switch)), bool(self._get(self.motor.high_limit_switch))

    def limits(self):
        return self._get(self.motor.low_limit_travel), self._get(self.motor.high_limit_travel)

    def speed(self):
        return self._get(self.motor.velocity)

    def _set(self, signal, value):
        async def put():
            await signal.set(value)  # waits for the put's completion
        self._run(put())

    def set_speed(self, velocity):
        self._set(self.motor.velocity, velocity)

    def calibrate(self, wavelength):
        self._set(self.calibration, wavelength)

    def scan(self, points, probe):
        from scanning import list_scan
        return list_scan(self.RE, self.motor, points, probe)


FACES = [OphydAsyncCA]
