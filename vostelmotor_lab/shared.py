"""One drive behind several faces (Channel Access, PVAccess, Tango).

The drive worker stays the single owner of the motor. This wrapper keeps the
last value of everything the drive reported, hands every report to each face
in the order the drive made it, and holds the rules every face applies before
a move is asked for (the calibrated range, the connection, a calibration owed
after a limit switch) and the settings a move takes (high precision, trigger).
It knows no protocol: a face turns its reports into PVs or attributes.
"""
import math
import threading

from .drive import CALIBRATION_NEEDED, DISCONNECTED, IDLE, LANDING_TOLERANCE_STEPS, Drive, describe, landing_tolerance

TRIGGER_KINDS = ("None", "Position compare", "Motion")


class Refused(ValueError):
    """A request no face carries out; the text says why. `out_of_range` is
    set when the target lay outside the calibrated range."""

    def __init__(self, text, out_of_range=False):
        super().__init__(text)
        self.out_of_range = out_of_range


class SharedDrive:
    """The drive, what it last reported, and the faces that listen.

    A listener is called with each report (a dict, see `Drive`) on the thread
    that made it, while no other report is handed out: it must only queue the
    report for its own loop. Reports a face caused itself through `move_to`
    or `set_setting` carry `"origin": <that face>`.

    `values` holds, besides the drive's keys, "constants" (landing tolerance
    in nm, top speed in nm/s), "high_precision", "trigger" and
    "trigger_width"."""

    def __init__(self, usb="USB0", motor_class=None, calibration_hint="CALIBRATE"):
        self.calibration_hint = calibration_hint
        self._lock = threading.RLock()
        self._listeners = []
        self.values = {
            "state": DISCONNECTED, "message": "Starting", "readback": None, "current": 0, "moving": False,
            "done": True, "limits": (-math.inf, math.inf), "speed": None, "limit_switch": None,
            "setpoint": None, "constants": None, "high_precision": False, "trigger": 0, "trigger_width": 0.0,
        }
        options = {} if motor_class is None else {"motor_class": motor_class}
        self.drive = Drive(self._report, usb=usb, calibration_pv=calibration_hint, **options)
        self._started = False

    def start(self):
        if not self._started:
            self._started = True
            self.drive.start()

    def close(self, timeout=15.0):
        """Closes the drive; the listeners get a last report {"closed": True}."""
        ended = self.drive.close(timeout)
        self._report({"closed": True})
        return ended

    # ------------------------------------------------------------ listeners
    def subscribe(self, listener):
        """Adds a listener; returns a copy of the values it starts from."""
        with self._lock:
            self._listeners.append(listener)
            return dict(self.values)

    def unsubscribe(self, listener):
        with self._lock:
            if listener in self._listeners:
                self._listeners.remove(listener)

    def _report(self, update):
        with self._lock:
            for key, value in update.items():
                if key == "done":
                    if value:
                        self.values["done"] = True
                    elif "origin" in update:  # a move asked for, not started yet
                        self.values["done"] = False
                elif key in self.values:
                    self.values[key] = value
            if update.get("moving"):
                self.values["done"] = False
            for listener in list(self._listeners):
                listener(update)
        if "limits" in update:
            self._ask_constants()

    def _ask_constants(self):
        """The landing tolerance (nm) and the top speed (nm/s), from the
        calibration at the middle of the range."""
        def constants(m):
            tolerance = landing_tolerance(m)
            top_speed = abs(m._motor__convertMotorParameterToWavelength(m._motor__maxVelocityMP, 0, 0)[0])
            return tolerance, top_speed

        def done(future):
            if future.exception() is None:
                self._report({"constants": future.result()})
        self.drive.submit(constants).add_done_callback(done)

    # -------------------------------------------------------------- requests
    @property
    def connected(self):
        return self.values["state"] != DISCONNECTED

    def refusal(self, target):
        """Why a move to `target` (nm) is refused, or None."""
        low, high = self.values["limits"]
        if not (isinstance(target, (int, float)) and math.isfinite(target) and low <= target <= high):
            return "%r nm is outside the calibrated range %s to %s nm" % (target, low, high)
        if not self.connected:
            return "not connected to the controller"
        if self.drive.awaiting_calibration:
            return "calibration needed after a limit switch: write the actual wavelength to %s" \
                % self.calibration_hint
        return None

    def move_to(self, target, origin=None):
        """Asks for a move to `target` (nm) with the settings held here:
        future of its MoveResult. Raises Refused when it is not asked for."""
        try:
            target = float(target)
        except (TypeError, ValueError):
            raise Refused("not a wavelength: %r" % (target,)) from None
        reason = self.refusal(target)
        if reason is not None:
            raise Refused(reason, out_of_range=reason.startswith("%r nm is outside" % target))
        with self._lock:
            self._report({"done": False, "setpoint": target, "origin": origin})
            try:
                future = self.drive.move_to(target, self.values["high_precision"], self.values["trigger"])
            except Exception as exc:
                if not self.values["moving"]:
                    self._report({"done": True, "origin": origin})
                raise Refused(str(exc)) from None
        return future

    def stop(self):
        self.drive.stop()

    def set_speed(self, velocity, seconds_to_velocity):
        """A speed in nm/s reached in `seconds_to_velocity` s: future of the
        profile read back. Raises Refused for values that are no speed."""
        try:
            velocity, seconds = float(velocity), float(seconds_to_velocity)
        except (TypeError, ValueError):
            raise Refused("the speed must be numbers") from None
        if not (math.isfinite(velocity) and velocity > 0 and math.isfinite(seconds) and seconds > 0):
            raise Refused("the velocity must be a positive speed in nm/s and the acceleration time a "
                          "positive time in s")
        return self.drive.set_speed(velocity, velocity / seconds)

    def set_acceleration(self, acceleration):
        """An acceleration in nm/s^2 at the present speed: future of the
        profile read back."""
        speed = self.values["speed"]
        try:
            acceleration = float(acceleration)
        except (TypeError, ValueError):
            raise Refused("the acceleration must be a number") from None
        if speed is None:
            raise Refused("not connected to the controller")
        if not (math.isfinite(acceleration) and acceleration > 0):
            raise Refused("the acceleration must be positive, in nm/s^2")
        return self.set_speed(speed[0], speed[0] / acceleration)

    def set_setting(self, name, value, origin=None):
        """high_precision (bool), trigger (index into TRIGGER_KINDS): taken
        by the next move. trigger_width (nm): sent to the controller, future
        of None. Raises Refused for a value out of its range."""
        if name == "high_precision":
            value = bool(value)
        elif name == "trigger":
            if isinstance(value, str):
                if value not in TRIGGER_KINDS:
                    raise Refused("the trigger is one of %s" % ", ".join(TRIGGER_KINDS))
                value = TRIGGER_KINDS.index(value)
            if not (isinstance(value, int) and 0 <= value < len(TRIGGER_KINDS)):
                raise Refused("the trigger is one of %s" % ", ".join(TRIGGER_KINDS))
        elif name == "trigger_width":
            value = float(value)
            if not (math.isfinite(value) and value > 0):
                raise Refused("the trigger interval must be a positive width in nm")
            future = self.drive.set_trigger_width(value)
            future.add_done_callback(
                lambda f: f.exception() is None and self._report({"trigger_width": value, "origin": origin}))
            return future
        else:
            raise KeyError(name)
        self._report({name: value, "origin": origin})
        return None

    def calibrate(self, wavelength):
        """Declares the present position to be `wavelength` (nm): future of None."""
        try:
            wavelength = float(wavelength)
        except (TypeError, ValueError):
            raise Refused("not a wavelength: %r" % (wavelength,)) from None
        if not math.isfinite(wavelength):
            raise Refused("not a wavelength")
        return self.drive.calibrate(wavelength)


__all__ = ["SharedDrive", "Refused", "TRIGGER_KINDS", "LANDING_TOLERANCE_STEPS", "IDLE", "CALIBRATION_NEEDED",
           "describe"]
