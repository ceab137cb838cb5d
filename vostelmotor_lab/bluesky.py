"""The grating motor as an ophyd-async device, for bluesky plans in this
process, without a control system in between.

    from vostelmotor_lab.bluesky import GratingMotor
    grating = GratingMotor(usb="USB0", name="grating")

The drive (vostelmotor_lab.drive) owns the motor on its worker thread and does
every move; this device turns its reports into signals and its move results
into statuses. A move counts as done only when the drive reports it arrived,
within the landing tolerance of its target, with the controller in no fault;
any other end fails the move's status with the reason.

Needs ophyd-async (`pip install vostelmotor[bluesky]`); nothing else in
vostelmotor_lab imports this module.
"""
import asyncio
import math
import numbers

from bluesky.protocols import Location
from ophyd_async.core import (AsyncStatus, Device, DeviceConnector, StandardReadable, WatchableAsyncStatus,
                              WatcherUpdate, observe_value, soft_signal_r_and_setter)
from ophyd_async.core import StandardReadableFormat as Format

from .drive import (CALIBRATION_NEEDED, DISCONNECTED, ERROR, IDLE, LIMIT_SWITCH, STATE_NAMES, Drive, ServedMotor,
                    landing_tolerance)

PRECISION = 4  # decimals of the wavelengths shown


class LimitsError(ValueError):
    """A setpoint outside the calibrated range; nothing was sent."""


class MoveError(RuntimeError):
    """A move that did not end at its target; the text says how it ended."""


class _Connector(DeviceConnector):
    """Connecting the device starts its drive and waits for the controller."""

    async def connect_real(self, device, timeout, force_reconnect):
        await super().connect_real(device, timeout, force_reconnect)
        await device._start_drive(timeout)

    async def connect_mock(self, device, mock):
        raise NotImplementedError("GratingMotor has no mock mode: use simulated=True for the simulated controller")


class Speed(Device):
    """The grating's speed in nm/s as something to move: `bps.mv(grating.speed, 2.0)`.
    The acceleration is kept."""

    def __init__(self, setter, name=""):
        self._setter = setter
        super().__init__(name)

    def set(self, velocity):
        return AsyncStatus(self._setter(velocity))


class GratingMotor(StandardReadable):
    """The grating motor in nm, moved by the drive in this process.

    Readings: the wavelength (hinted) and the motor current; configuration:
    the velocity and acceleration of the moves. `set(wavelength)` moves and
    reports progress to its watchers; `stop()` stops; `speed.set(v)` and
    `calibrate(wavelength)` change the settings. `simulated=True` drives the
    simulated controller instead of the instrument.
    """

    def __init__(self, usb="USB0", simulated=False, name="grating"):
        self._usb = usb
        self._simulated = simulated
        with self.add_children_as_readables(Format.HINTED_SIGNAL):
            self.wavelength, self._set_wavelength = soft_signal_r_and_setter(float, math.nan, units="nm",
                                                                             precision=PRECISION)
        with self.add_children_as_readables():
            self.current, self._set_current = soft_signal_r_and_setter(float, 0.0, units="mA")
        with self.add_children_as_readables(Format.CONFIG_SIGNAL):
            self.velocity, self._set_velocity = soft_signal_r_and_setter(float, 0.0, units="nm/s",
                                                                         precision=PRECISION)
            self.acceleration, self._set_acceleration = soft_signal_r_and_setter(float, 0.0, units="nm/s^2",
                                                                                 precision=PRECISION)
        self.setpoint, self._set_setpoint = soft_signal_r_and_setter(float, math.nan, units="nm",
                                                                     precision=PRECISION)
        self.state, self._set_state = soft_signal_r_and_setter(str, STATE_NAMES[DISCONNECTED])
        self.message, self._set_message = soft_signal_r_and_setter(str, "")
        self.limit_switch, self._set_limit_switch = soft_signal_r_and_setter(str, "")
        self.speed = Speed(self._set_speed)
        self._drive = None
        self._loop = None
        self._state = DISCONNECTED
        self._limits = (math.nan, math.nan)
        self._tolerance = None
        self._connected = None
        super().__init__(name=name, connector=_Connector())

    # ------------------------------------------------------------ life cycle
    async def _start_drive(self, timeout):
        if self._drive is not None:
            return
        self._loop = asyncio.get_running_loop()
        self._connected = asyncio.Event()
        motor_class = ServedMotor
        if self._simulated:
            from .simulated import simulated
            motor_class = simulated(ServedMotor)
        self._drive = Drive(self._post, usb=self._usb, calibration_pv="%s.calibrate" % (self.name or "calibrate"),
                            motor_class=motor_class)
        self._drive.start()
        try:
            await asyncio.wait_for(self._connected.wait(), timeout)
        except asyncio.TimeoutError:
            message = await self.message.get_value()
            self.close()
            raise ConnectionError("%s: no controller on %s within %s s (%s)" % (self.name, self._usb, timeout,
                                                                                 message or "no answer")) from None
        future = self._drive.submit(landing_tolerance)
        self._tolerance = await asyncio.wrap_future(future)

    def close(self):
        """Stops a running move and disconnects from the controller; connect
        the device again to go on."""
        drive, self._drive = self._drive, None
        if drive is not None:
            drive.close()
        self._state = DISCONNECTED

    @property
    def limits(self):
        """(lowest, highest) wavelength of the calibrated range, nm."""
        return self._limits

    def set_name(self, name, *args, **kwargs):
        super().set_name(name, *args, **kwargs)
        self.wavelength.set_name(name)  # a plan's readings show the motor under its own name

    # -------------------------------------------------------------- movement
    @WatchableAsyncStatus.wrap
    async def set(self, value, timeout=None):
        """Moves to `value` nm. The status reports the wavelength on the way
        and fails unless the grating arrived at the target."""
        target = self._check_target(value)
        initial = await self.wavelength.get_value()
        future = self._drive.move_to(target)
        self._set_setpoint(target)
        moving = AsyncStatus(self._finish(future, target, timeout))
        async for current in observe_value(self.wavelength, done_status=moving):
            yield WatcherUpdate(current=current, initial=initial, target=target, name=self.name, unit="nm",
                                precision=PRECISION)
        await moving  # raises how the move failed

    def _check_target(self, value):
        if self._drive is None:
            raise ConnectionError("%s is not connected: connect the device first" % self.name)
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise LimitsError("%s: %r is not a wavelength" % (self.name, value))
        target = float(value)
        low, high = self._limits
        if not (math.isfinite(target) and low <= target <= high):
            raise LimitsError("%s: %r nm is outside the calibrated range %s to %s nm" % (self.name, value, low, high))
        if self._drive.awaiting_calibration or self._state in (LIMIT_SWITCH, CALIBRATION_NEEDED):
            raise MoveError("%s: calibration needed after a limit switch: call %s.calibrate(wavelength) with the "
                            "actual wavelength first" % (self.name, self.name))
        if self._state == DISCONNECTED:
            raise ConnectionError("%s: not connected to the controller; the device connects again by itself "
                                  "once the controller answers" % self.name)
        return target

    async def _finish(self, future, target, timeout):
        try:
            result = await asyncio.wait_for(asyncio.shield(asyncio.wrap_future(future)), timeout)
        except asyncio.TimeoutError:
            self._drive.stop()
            result = await asyncio.wrap_future(future)
            raise MoveError("%s: move to %s nm not done within %s s: %s" % (self.name, target, timeout,
                                                                            result.message)) from None
        await self._flushed()
        if not result.ok:
            raise MoveError("%s: move to %s nm %s" % (self.name, target, result.message))
        if result.reached is None or abs(result.reached - target) > self._tolerance:
            raise MoveError("%s: move to %s nm ended at %s nm, outside the landing tolerance of %.4f nm"
                            % (self.name, target, result.reached, self._tolerance))
        if self._state in (ERROR, DISCONNECTED, LIMIT_SWITCH, CALIBRATION_NEEDED):
            raise MoveError("%s: move to %s nm ended with the controller in state %s"
                            % (self.name, target, STATE_NAMES[self._state]))

    async def stop(self, success=False):
        """Stops the running move; its status fails as stopped. Sends nothing
        when no move runs."""
        if self._drive is not None:
            self._drive.stop()

    async def locate(self):
        return Location(setpoint=await self.setpoint.get_value(), readback=await self.wavelength.get_value())

    # -------------------------------------------------------------- settings
    async def _set_speed(self, velocity, acceleration=None):
        if self._drive is None:
            raise ConnectionError("%s is not connected: connect the device first" % self.name)
        if acceleration is None:
            acceleration = await self.acceleration.get_value()
        await asyncio.wrap_future(self._drive.set_speed(velocity, acceleration))
        await self._flushed()

    def calibrate(self, wavelength):
        """Declares the present position to be `wavelength` nm (nothing moves);
        after a limit switch, the actual wavelength there. A status."""
        async def calibrate():
            if self._drive is None:
                raise ConnectionError("%s is not connected: connect the device first" % self.name)
            await asyncio.wrap_future(self._drive.calibrate(wavelength))
            await self._flushed()
        return AsyncStatus(calibrate())

    # ---------------------------------------------------- drive -> signals
    def _post(self, update):
        """Called by the drive on its worker thread."""
        try:
            self._loop.call_soon_threadsafe(self._apply, update)
        except RuntimeError:
            pass  # the loop has closed: nobody reads the signals any more

    async def _flushed(self):
        """Returns once every report made so far is on the signals."""
        flushed = self._loop.create_future()
        self._post({"flushed": flushed})
        await flushed

    def _apply(self, update):
        if "limits" in update:
            self._limits = tuple(update["limits"])
        if "speed" in update:
            velocity, acceleration = update["speed"]
            self._set_velocity(velocity)
            self._set_acceleration(acceleration)
        if "readback" in update:
            self._set_wavelength(update["readback"])
        if "setpoint" in update:
            self._set_setpoint(update["setpoint"])
        if "current" in update:
            self._set_current(update["current"])
        if "limit_switch" in update:
            self._set_limit_switch(update["limit_switch"] or "")
        if "message" in update:
            self._set_message(update["message"])
        if "state" in update:
            self._state = update["state"]
            self._set_state(STATE_NAMES[self._state])
            if self._state == IDLE and self._connected is not None:
                self._connected.set()
        if "flushed" in update and not update["flushed"].done():
            update["flushed"].set_result(None)
