"""The grating motor as a Tango device, in the style of a Sardana motor.

Writing Position starts the move and returns at once: State is MOVING before
the write returns and goes back to ON when the move has ended, or to ALARM
(a limit switch was reached, a calibration is owed) or FAULT (the controller
is lost, or it refused a command); Status says what happened in words. Stop and
Abort end a move. Velocity is in nm/s, Acceleration the time in s to reach
it, as a Sardana motor has them. Needs pytango.

The device serves the SharedDrive set with `GratingMotor.serve(shared)`
before the server starts; the drive runs in this process.
"""
import concurrent.futures
import math
import queue
import threading
import time

import tango
from tango import AttrQuality, AttrWriteType, DevState
from tango.server import Device, attribute, command

from .drive import CALIBRATION_NEEDED, DISCONNECTED, ERROR, IDLE, LIMIT_SWITCH, MOVING
from .shared import TRIGGER_KINDS, Refused

# A command the controller refused (ERROR) is a fault as a lost controller is:
# ALARM says the limit switch, and that a calibration is owed.
STATES = {IDLE: DevState.ON, MOVING: DevState.MOVING, LIMIT_SWITCH: DevState.ALARM,
          CALIBRATION_NEEDED: DevState.ALARM, ERROR: DevState.FAULT, DISCONNECTED: DevState.FAULT}

# How long a setting may wait for the worker before the write is answered anyway.
SETTING_WAIT = 2.0


def _refuse(reason, origin="GratingMotor"):
    tango.Except.throw_exception("VOSTEL_Refused", reason, origin)


class GratingMotor(Device):
    """Grating motor of the tunable laser, in nm."""

    _shared = None

    @classmethod
    def serve(cls, shared):
        """The SharedDrive the devices of this server drive."""
        cls._shared = shared

    # ------------------------------------------------------------ life cycle
    def init_device(self):
        super().init_device()
        self.shared = type(self)._shared
        if self.shared is None:
            raise RuntimeError("no drive for the device: call GratingMotor.serve(shared) first")
        self._limits_shown = None
        self._events = queue.Queue()
        self.shared.subscribe(self._events.put)
        self._pusher = threading.Thread(target=self._push_events, name="tango-events", daemon=True)
        for name in ("Position", "State", "Status"):
            self.set_change_event(name, True, False)
        self._pusher.start()
        self.shared.start()

    def delete_device(self):
        if getattr(self, "shared", None) is not None:
            self.shared.unsubscribe(self._events.put)
            self._events.put(None)
            self._pusher.join(5)

    def _push_events(self):
        """Change events of Position and State, from the drive's reports."""
        with tango.EnsureOmniThread():
            while True:
                update = self._events.get()
                if update is None or update.get("closed"):
                    return
                try:
                    if update.get("readback") is not None:
                        self.push_change_event("Position", float(update["readback"]))
                    if {"state", "moving", "done"} & set(update):
                        self.set_state(self._state())  # what the event carries
                        self.push_change_event("State")
                    if "message" in update:
                        self.set_status(self.dev_status())
                        self.push_change_event("Status")
                except Exception:  # a client's event channel closed: the next report tries again
                    pass

    @property
    def values(self):
        return self.shared.values

    def always_executed_hook(self):
        self._show_limits()

    def _show_limits(self):
        """The calibrated range becomes Position's limits once the controller has told it."""
        limits = self.values["limits"]
        if limits != self._limits_shown and all(math.isfinite(x) for x in limits):
            attr = self.get_device_attr().get_attr_by_name("Position")
            props = attr.get_properties()
            props.min_value, props.max_value = (repr(float(x)) for x in limits)
            attr.set_properties(props)
            self._limits_shown = limits

    def dev_state(self):
        # The drive reports the range before the connection: a client told ON
        # finds the limits in Position's configuration, even when they came
        # after this request's hook ran.
        state = self._state()
        self._show_limits()
        return state

    def _state(self):
        values = self.values
        state = values["state"]
        if state == DISCONNECTED:
            return DevState.FAULT
        if values["moving"] or not values["done"]:
            return DevState.MOVING
        return STATES.get(state, DevState.UNKNOWN)

    def dev_status(self):
        return self.values["message"] or "The device is in %s state." % self._state()

    # ------------------------------------------------------------ attributes
    Position = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="nm", format="%.4f",
                         label="Wavelength", fget="read_position", fset="write_position",
                         doc="Where the grating stands; writing it starts a move and returns at once")

    def read_position(self):
        readback = self.values["readback"]
        if readback is None:
            return 0.0, time.time(), AttrQuality.ATTR_INVALID
        quality = AttrQuality.ATTR_CHANGING if self._state() == DevState.MOVING else AttrQuality.ATTR_VALID
        return readback, time.time(), quality

    def write_position(self, value):
        try:
            self.shared.move_to(value, origin=self)
        except Refused as exc:
            _refuse(str(exc))

    DialPosition = attribute(dtype=float, unit="nm", format="%.4f", fget="read_dial_position",
                             doc="The controller's position in nm (no offset: a calibration moves the dial)")

    def read_dial_position(self):
        return self.read_position()

    Offset = attribute(dtype=float, unit="nm", fget="read_offset", doc="Always 0: DefinePosition calibrates")

    def read_offset(self):
        return 0.0

    Velocity = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="nm/s", format="%.4f",
                         fget="read_velocity", fset="write_velocity")

    def read_velocity(self):
        return self._speed()[0]

    def write_velocity(self, value):
        velocity, acceleration = self._speed()
        self._setting(self.shared.set_speed, value, velocity / acceleration if acceleration > 0 else 1.0)

    Acceleration = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="s", format="%.4f",
                             fget="read_acceleration", fset="write_acceleration",
                             doc="Time to reach Velocity from standstill")

    def read_acceleration(self):
        velocity, acceleration = self._speed()
        return velocity / acceleration if acceleration > 0 else 0.0

    def write_acceleration(self, value):
        self._setting(self.shared.set_speed, self._speed()[0], value)

    Deceleration = attribute(dtype=float, unit="s", format="%.4f", fget="read_acceleration",
                             doc="Time to stop from Velocity (as Acceleration)")

    Limit_switches = attribute(dtype=(bool,), max_dim_x=3, fget="read_limit_switches",
                               doc="Home, upper and lower limit switch, the last one reached")

    def read_limit_switches(self):
        side = self.values["limit_switch"]
        return [False, side == "high", side == "low"]

    Tolerance = attribute(dtype=float, unit="nm", format="%.4f", fget="read_tolerance",
                          doc="How far from its target a move may end and count as arrived")

    def read_tolerance(self):
        constants = self.values["constants"]
        return constants[0] if constants else float("nan")

    HighPrecision = attribute(dtype=bool, access=AttrWriteType.READ_WRITE, fget="read_high_precision",
                              fset="write_high_precision",
                              doc="Moves end with an approach from shorter wavelengths")

    def read_high_precision(self):
        return bool(self.values["high_precision"])

    def write_high_precision(self, value):
        self.shared.set_setting("high_precision", value, origin=self)

    Trigger = attribute(dtype=str, access=AttrWriteType.READ_WRITE, fget="read_trigger", fset="write_trigger",
                        doc="Trigger output during moves: %s" % ", ".join(TRIGGER_KINDS))

    def read_trigger(self):
        return TRIGGER_KINDS[self.values["trigger"]]

    def write_trigger(self, value):
        try:
            self.shared.set_setting("trigger", value, origin=self)
        except Refused as exc:
            _refuse(str(exc))

    TriggerWidth = attribute(dtype=float, access=AttrWriteType.READ_WRITE, unit="nm", format="%.4f",
                             fget="read_trigger_width", fset="write_trigger_width",
                             doc="Position-compare pulse every this many nm of travel")

    def read_trigger_width(self):
        return float(self.values["trigger_width"])

    def write_trigger_width(self, value):
        self._setting(self.shared.set_setting, "trigger_width", value, origin=self)

    Current = attribute(dtype=int, unit="mA", fget="read_current", doc="Motor current")

    def read_current(self):
        return int(self.values["current"] or 0)

    # -------------------------------------------------------------- commands
    @command(doc_in="Ends the move; the grating stands where it stopped")
    def Stop(self):
        self.shared.stop()

    @command(doc_in="Ends the move, as Stop does (the module has one way to stop)")
    def Abort(self):
        self.shared.stop()

    @command(dtype_in=float, doc_in="The wavelength (nm) the grating stands at: calibrates, nothing moves")
    def DefinePosition(self, wavelength):
        if not math.isfinite(wavelength):
            _refuse("not a wavelength: %r" % wavelength)
        if self.shared.drive.awaiting_calibration:  # the recovery waits for it, not the worker's queue
            self._answer(self.shared.calibrate(wavelength))
        else:
            self._setting(self.shared.calibrate, wavelength)

    # ----------------------------------------------------------------- help
    def _speed(self):
        speed = self.values["speed"]
        if speed is None:
            _refuse("not connected to the controller")
        return speed

    def _setting(self, request, *args, **kwargs):
        """Asks the worker for a setting and waits for its answer; refused
        while a move runs, as the worker takes it only after the move."""
        if self.values["moving"] or not self.values["done"]:
            _refuse("not while the grating moves: stop it first, or write once it stands")
        try:
            future = request(*args, **kwargs)
        except (Refused, ValueError) as exc:
            _refuse(str(exc))
        return self._answer(future)

    def _answer(self, future):
        try:
            return future.result(SETTING_WAIT)
        except concurrent.futures.TimeoutError:
            _refuse("the controller did not answer within %g s" % SETTING_WAIT)
        except Refused as exc:
            _refuse(str(exc))
        except Exception as exc:
            _refuse("%s: %s" % (type(exc).__name__, exc))

