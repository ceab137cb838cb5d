"""The bluesky device in this process (vostelmotor_lab.bluesky.GratingMotor)
on the simulated controller, driven through a RunEngine's event loop."""
import asyncio

from face import FAULT, LIMIT, NO_ALARM, Face, MoveFailed, Pending, Refused

ALARMS = {"Idle": NO_ALARM, "Moving": NO_ALARM, "Limit switch": LIMIT, "Calibration needed": LIMIT,
          "Error": FAULT, "Disconnected": FAULT}


class InProcess(Face):
    name = "inprocess"
    requires = ("ophyd_async.core", "bluesky", "vostelmotor_lab.bluesky")

    motor = None

    def open(self, rig):
        from bluesky import RunEngine
        from vostelmotor_lab.bluesky import GratingMotor

        self.RE = RunEngine({}, context_managers=[])
        self.motor = GratingMotor(usb=rig.usb, simulated=True, name="grating")
        self._run(self.motor.connect(timeout=30))
        self.controller = rig.controller

    def close(self):
        if self.motor is not None:
            self.motor.close()

    def _submit(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.RE.loop)

    def _run(self, coro, timeout=60.0):
        return self._submit(coro).result(timeout)

    def _get(self, signal):
        return self._run(signal.get_value())

    def start_move(self, target):
        from vostelmotor_lab.bluesky import LimitsError

        async def move():
            try:
                await self.motor.set(target)
            except LimitsError as exc:
                raise Refused(str(exc)) from exc
            except Exception as exc:
                raise MoveFailed("%s: %s" % (type(exc).__name__, exc)) from exc
        return Pending(self._submit(move()))

    def stop(self):
        self._run(self.motor.stop())

    def position(self):
        return self._get(self.motor.wavelength)

    def moving(self):
        return self._get(self.motor.state) == "Moving"

    def alarm(self):
        return ALARMS[self._get(self.motor.state)]

    def limit_switches(self):
        side = self._get(self.motor.limit_switch)
        return side == "low", side == "high"

    def limits(self):
        return self.motor.limits

    def speed(self):
        return self._get(self.motor.velocity)

    def set_speed(self, velocity):
        async def set_speed():
            await self.motor.speed.set(velocity)
        self._run(set_speed())

    def calibrate(self, wavelength):
        async def calibrate():
            await self.motor.calibrate(wavelength)
        self._run(calibrate())

    def scan(self, points, probe):
        from scanning import list_scan
        return list_scan(self.RE, self.motor, points, probe)


FACES = [InProcess]
