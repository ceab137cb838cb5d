"""The Tango face: the Tango device (vostelmotor_lab.tango_device) served in
this process by pytango's DeviceTestContext on 127.0.0.1, reached through a
DeviceProxy as a Sardana client does: a write to Position starts the move,
the client waits for State to leave MOVING, then tells the end from State
and where the grating stands."""
import concurrent.futures
import time

from face import FAULT, LIMIT, NO_ALARM, Face, MoveFailed, Pending, Refused

POLL = 0.02  # s between State reads while a move runs


class TangoProxy(Face):
    name = "tango-proxy"
    requires = ("tango", "vostelmotor_lab.tango_device")

    context = None
    shared = None

    def open(self, rig):
        from tango.test_context import DeviceTestContext

        from vostelmotor_lab.shared import SharedDrive
        from vostelmotor_lab.tango_device import GratingMotor

        self.shared = SharedDrive(rig.usb, calibration_hint="the DefinePosition command")
        GratingMotor.serve(self.shared)
        self.context = DeviceTestContext(GratingMotor, device_name="laser/grating/1", process=False,
                                         host="127.0.0.1", port=rig.free_port())
        self.context.start()
        self.address = self.context.get_device_access()
        self.proxy = self._proxy()
        self.controller = rig.controller
        self._waiting = concurrent.futures.ThreadPoolExecutor(4, thread_name_prefix="tango-move")
        end = time.monotonic() + 30
        while self.alarm() != NO_ALARM and time.monotonic() < end:
            time.sleep(0.05)

    def _proxy(self):
        import tango
        return tango.DeviceProxy(self.address)

    def close(self):
        if self.context is not None:
            self._waiting.shutdown(wait=False)
            self.context.stop()
            self.context = None
        if self.shared is not None:
            self.shared.close()

    def start_move(self, target):
        import tango
        try:
            self.proxy.write_attribute("Position", target)
        except tango.DevFailed as exc:
            raise Refused(exc.args[0].desc) from exc
        if self.proxy.State() != tango.DevState.MOVING:
            raise MoveFailed("State was not MOVING when the write returned")
        return Pending(self._waiting.submit(self._until_standing, target))

    def _until_standing(self, target):
        import tango
        proxy = self._proxy()
        while proxy.State() == tango.DevState.MOVING:
            time.sleep(POLL)
        state, status = proxy.State(), proxy.Status()
        position, tolerance = proxy.Position, proxy.Tolerance
        if state != tango.DevState.ON:
            raise MoveFailed("%s: %s" % (state, status))
        if abs(position - target) > tolerance:
            raise MoveFailed("stood at %.4f nm, not at %.4f nm: %s" % (position, target, status))

    def stop(self):
        self.proxy.Stop()

    def position(self):
        return self.proxy.Position

    def moving(self):
        import tango
        return self.proxy.State() == tango.DevState.MOVING

    def alarm(self):
        import tango
        state = self.proxy.State()
        return {tango.DevState.ALARM: LIMIT, tango.DevState.FAULT: FAULT}.get(state, NO_ALARM)

    def limit_switches(self):
        _, high, low = list(self.proxy.Limit_switches)
        return bool(low), bool(high)

    def limits(self):
        config = self.proxy.get_attribute_config("Position")
        return float(config.min_value), float(config.max_value)

    def speed(self):
        return self.proxy.Velocity

    def set_speed(self, velocity):
        self.proxy.Velocity = velocity

    def calibrate(self, wavelength):
        self.proxy.DefinePosition(wavelength)


FACES = [TangoProxy]
