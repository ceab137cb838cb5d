"""The bluesky device in this process (vostelmotor_lab.bluesky.GratingMotor)
on the simulated controller, driven through a RunEngine's event loop."""
from face import STATE_ALARMS
from ophyd_async_face import OphydAsyncFace


class InProcess(OphydAsyncFace):
    name = "inprocess"
    requires = ("ophyd_async.core", "bluesky", "vostelmotor_lab.bluesky")

    def open(self, rig):
        from vostelmotor_lab.bluesky import GratingMotor, LimitsError

        self.refusals = (LimitsError,)
        # The simulator the rig controls, also where an installed wheel ships another copy.
        rig.fixture("monkeypatch").setattr("vostelmotor_lab.simulated.library_path", lambda: rig.sim.path)
        self.make_run_engine()
        self.motor = GratingMotor(usb=rig.usb, simulated=True, name="grating")
        self._run(self.motor.connect(timeout=30))
        self.controller = rig.controller

    def close(self):
        if self.motor is not None:
            self.motor.close()

    def position(self):
        return self._get(self.motor.wavelength)

    def moving(self):
        return self._get(self.motor.state) == "Moving"

    def alarm(self):
        return STATE_ALARMS[self._get(self.motor.state)]

    def limit_switches(self):
        side = self._get(self.motor.limit_switch)
        return side == "low", side == "high"

    def limits(self):
        return self.motor.limits

    def speed(self):
        return self._get(self.motor.velocity)

    def set_speed(self, velocity):
        self._wait(lambda: self.motor.speed.set(velocity))

    def calibrate(self, wavelength):
        self._wait(lambda: self.motor.calibrate(wavelength))


FACES = [InProcess]
