"""The PVs: a motor record for the grating, in nm, and the settings the record
has no field for.

A put with completion to VAL (and to TWF, TWR, RLV) completes when the move
it started has ended and DMOV is back to 1, however it ended. Fields of the
record that the IOC cannot honour are read-only: a write to them is refused.
"""
import asyncio
import math

from caproto import AlarmSeverity, AlarmStatus, CAStatus, ChannelType, SkipWrite
from caproto._data import CannotExceedLimits
from caproto.asyncio.server import Context, VirtualCircuit
from caproto.server import PVGroup, pvproperty

from . import access
from vostelmotor_lab.drive import CALIBRATION_NEEDED, DISCONNECTED, ERROR, LIMIT_SWITCH, STATE_NAMES, describe
from vostelmotor_lab.shared import TRIGGER_KINDS, Refused, SharedDrive

# Alarm of the motor record (and of STATE) in each state of the drive.
ALARMS = {
    LIMIT_SWITCH: (AlarmStatus.HWLIMIT, AlarmSeverity.MAJOR_ALARM),
    CALIBRATION_NEEDED: (AlarmStatus.HWLIMIT, AlarmSeverity.MAJOR_ALARM),
    ERROR: (AlarmStatus.STATE, AlarmSeverity.MAJOR_ALARM),
    DISCONNECTED: (AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM),
}
NO_ALARM = (AlarmStatus.NO_ALARM, AlarmSeverity.NO_ALARM)

# The alarm a put completes with when its move did not reach its target.
MISSED = {
    "limit switch": ALARMS[LIMIT_SWITCH],
    "failed": ALARMS[ERROR],
    "lost": ALARMS[DISCONNECTED],
    "not connected": ALARMS[DISCONNECTED],
}

PRECISION = 4  # decimals of the wavelengths shown

# Writable by the listed hosts and users only; STOP by every client; the rest
# is read-only, so a write to a field the IOC cannot honour is refused.
GUARDED = ("MOTOR", "MOTOR.VAL", "MOTOR.VELO", "MOTOR.ACCL", "MOTOR.SET", "MOTOR.SSET", "MOTOR.SUSE",
           "MOTOR.FOFF", "MOTOR.TWV", "MOTOR.TWF", "MOTOR.TWR", "MOTOR.RLV",
           "HIGH_PRECISION", "TRIGGER", "TRIGGER_WIDTH", "CALIBRATE")
EVERYONE = ("MOTOR.STOP",)

# A put's completion waits at most this many milliseconds for its monitors.
MONITORS_OUT_POLLS = 2000

USE, SET = "Use", "Set"
FROZEN = "Frozen"


class _MonitorTrackingCircuit(VirtualCircuit):
    """A client's circuit that knows when every monitor queued for it has
    been sent: its sending task waits for the queue without a deadline only
    when it holds no batch."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.all_sent = False

    async def get_from_sub_queue(self, timeout=None):
        self.all_sent = timeout is None
        try:
            return await super().get_from_sub_queue(timeout)
        finally:
            self.all_sent = False

    def monitors_out(self):
        return self.all_sent and self.subscription_queue.empty()


class MonitorTrackingContext(Context):
    """caproto's asyncio server, able to tell when every monitor published so
    far has been sent to every client."""
    CircuitClass = _MonitorTrackingCircuit

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._routing = 0  # updates taken from the queue, not yet with the circuits

    async def _subscription_queue_iteration(self, *args, **kwargs):
        self._routing += 1
        try:
            return await super()._subscription_queue_iteration(*args, **kwargs)
        finally:
            self._routing -= 1

    def monitors_out(self):
        return (self.subscription_queue.empty() and not self._routing
                and all(circuit.monitors_out() for circuit in list(self.circuits)))


class GratingMotorIOC(PVGroup):
    """One grating motor: PREFIX + MOTOR is a motor record in nm, and
    HIGH_PRECISION, TRIGGER, TRIGGER_WIDTH, CURRENT, CALIBRATE, STATE and
    MESSAGE sit beside it.

    `shared` is the SharedDrive of a process that serves the motor on other
    faces too; without it the IOC makes its own and closes it at shutdown."""

    # The wavelength setpoint in nm; writing it starts a move. DESC is set at startup.
    motor = pvproperty(name="MOTOR", value=0.0, record="motor", precision=PRECISION)
    high_precision = pvproperty(name="HIGH_PRECISION", value="Off", dtype=ChannelType.ENUM,
                                enum_strings=("Off", "On"),
                                doc="Moves end with an approach from shorter wavelengths")
    trigger = pvproperty(name="TRIGGER", value="None", dtype=ChannelType.ENUM,
                         enum_strings=TRIGGER_KINDS, doc="Trigger output during moves")
    trigger_width = pvproperty(name="TRIGGER_WIDTH", value=0.0, precision=PRECISION, units="nm",
                               doc="Position-compare pulse every this many nm of travel")
    current = pvproperty(name="CURRENT", value=0, units="mA", read_only=True,
                         doc="Motor current")
    calibrate = pvproperty(name="CALIBRATE", value=0.0, precision=PRECISION, units="nm",
                           doc="Declare the present position to be this wavelength")
    state = pvproperty(name="STATE", value=STATE_NAMES[DISCONNECTED], dtype=ChannelType.ENUM,
                       enum_strings=STATE_NAMES, read_only=True)
    message = pvproperty(name="MESSAGE", value="Starting", dtype=ChannelType.CHAR, max_length=300,
                         string_encoding="utf-8", read_only=True,
                         doc="What the IOC did last, in words")

    def __init__(self, *args, usb="USB0", write_list=None, description="Grating motor",
                 motor_class=None, shared=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.usb = usb
        self.write_list = write_list or access.WriteList.parse(None)
        self.description = description
        self.motor_class = motor_class
        self.shared = shared
        self._owns_shared = shared is None
        self.drive = None
        self._alarm = ALARMS[DISCONNECTED]
        self._state = DISCONNECTED
        self._limits = (-math.inf, math.inf)
        self._updates = None
        self._post = None
        self._context = None  # the server, once serve() runs
        writers = access.listed_writers(self.write_list)
        for name, channel in self._channels():
            suffix = name[len(self.prefix):]
            if suffix in EVERYONE:
                channel.check_access = access.everyone_writes
            elif suffix in GUARDED:
                channel.check_access = writers
            else:
                channel.check_access = access.read_only
            channel.auth_write = self._answering_refusals(name, channel.auth_write)

    def _answering_refusals(self, name, auth_write):
        """A refused write is one log line, and its client gets a failed
        put (ECA_PUTFAIL) instead of caproto's error with a traceback."""
        async def write(hostname, username, data, *args, **kwargs):
            try:
                return await auth_write(hostname, username, data, *args, **kwargs)
            except Exception as exc:
                if isinstance(exc, CannotExceedLimits) and name in (self.motor.pvname, self.motor.pvname + ".VAL"):
                    await self.fields.limit_violation.write(1, verify_value=False)
                if self._updates is not None:
                    self._restore_alarm()  # caproto set its write alarm
                shown = data[0] if len(data) == 1 else data
                if isinstance(shown, bytes):
                    shown = shown.split(b"\0")[0].decode(errors="replace")
                if isinstance(exc, Refused):
                    reason = str(exc)
                elif isinstance(exc, CannotExceedLimits):
                    reason = "outside the calibrated range %s to %s nm" % self._limits
                else:
                    reason = describe(exc)
                self.log.warning("Refused %s = %s from %s@%s: %s", name, shown, username, hostname, reason)
                return CAStatus.ECA_PUTFAIL
        return write

    def _channels(self):
        """Every PV served, the record's fields (NAME.FIELD) included."""
        for name, channel in self.pvdb.items():
            yield name, channel
            for field, field_channel in getattr(channel, "fields", {}).items():
                yield "%s.%s" % (name, field), field_channel

    @property
    def fields(self):
        return self.motor.field_inst

    # ------------------------------------------------------------ life cycle
    @motor.startup
    async def motor(self, instance, async_lib):
        fields = self.fields
        for field, value in ((fields.engineering_units, "nm"), (fields.description, self.description),
                             (fields.done_moving_to_value, 1), (fields.motor_is_moving, 0),
                             (fields.display_precision, PRECISION), (fields.set_use_switch, USE),
                             (fields.offset_freeze_switch, FROZEN), (fields.limit_violation, 0),
                             (fields.tweak_step_size, 0.1)):
            await field.write(value, verify_value=False)
        await self._set_alarm(ALARMS[DISCONNECTED])
        loop = asyncio.get_running_loop()
        self._updates = asyncio.Queue()
        if self.shared is None:
            self.shared = SharedDrive(self.usb, self.motor_class, calibration_hint=self.calibrate.pvname)
        self.drive = self.shared.drive

        def post(update):
            if update.get("origin") is not self:  # what this IOC asked for is on its PVs already
                loop.call_soon_threadsafe(self._updates.put_nowait, update)
        self._post = post
        start = self.shared.subscribe(post)
        if not self._owns_shared:  # the drive may be running already: start from what it reported
            post({key: value for key, value in start.items()
                  if value is not None and key not in ("done", "moving", "setpoint")})
        self.shared.start()
        while True:
            update = await self._updates.get()
            await self._apply(update)

    @motor.shutdown
    async def motor(self, instance, async_lib):
        if self.shared is not None:
            self.shared.unsubscribe(self._post)
            if self._owns_shared:
                self.shared.close()

    # ----------------------------------------------------------- client puts
    async def _serve_move(self, target):
        """Moves to `target` (nm) and returns once the move has ended: the
        put that asked for it completes then. Raises when the move is
        refused before anything is sent."""
        fields = self.fields
        self._restore_alarm()  # a refused write sets caproto's own
        reason = self.shared.refusal(target)
        if reason is not None:
            if not (math.isfinite(target) and self._limits[0] <= target <= self._limits[1]):
                await fields.limit_violation.write(1, verify_value=False)
            raise Refused(reason)
        await fields.limit_violation.write(0, verify_value=False)
        await fields.ran_out_of_retries.write(0, verify_value=False)
        await fields.direction_of_travel.write(1 if target > fields.user_readback_value.value else 0,
                                               verify_value=False)
        await fields.done_moving_to_value.write(0, verify_value=False)
        try:
            future = self.shared.move_to(target, origin=self)
        except Refused:
            if not fields.motor_is_moving.value:
                await fields.done_moving_to_value.write(1, verify_value=False)
            raise
        await self._write_readback(self.motor, target)
        await fields.dial_desired_value.write(target, verify_value=False)
        result = await asyncio.wrap_future(future)
        await self._flush()  # every report made before the move ended is on the PVs
        missed = MISSED.get(result.outcome)
        if missed is not None:
            await fields.ran_out_of_retries.write(1, verify_value=False)
            if self._alarm == NO_ALARM:  # the drive may be connected again already
                await self._set_alarm(missed)
        await self._monitors_out()
        return result

    async def _monitors_out(self):
        """Returns once the record's monitors have left for the clients, so
        that a client reading its monitored DMOV, RBV or MISS when its put
        completes reads the end of the move: caproto sends a put's answer at
        once, but monitors pass through two queues and a batch first."""
        context = self._context
        if context is None:  # served by caproto's own server: give it time
            from caproto.server import common
            await asyncio.sleep(4 * common.HIGH_LOAD_TIMEOUT + 0.05)
            return
        for _ in range(MONITORS_OUT_POLLS):
            if context.monitors_out():
                return
            await asyncio.sleep(0.001)
        self.log.warning("monitors still queued when a put completed")

    async def serve(self, interfaces=("127.0.0.1",), log_pv_names=False):
        """Serves the PVs on Channel Access until cancelled; a put's
        completion leaves after the monitors of its move."""
        self._context = MonitorTrackingContext(self.pvdb, list(interfaces))
        try:
            await self._context.run(log_pv_names=log_pv_names)
        finally:
            self._context = None

    @motor.putter
    async def motor(self, instance, value):
        if self.fields.set_use_switch.value == SET:
            await self._set_position(value)
        else:
            await self._serve_move(value)
        raise SkipWrite()  # VAL was written when the move started

    async def _set_position(self, value):
        """Set mode: the present position is declared to be `value` (nm), the
        module's calibration; nothing moves."""
        self._restore_alarm()
        if not math.isfinite(value):
            raise Refused("not a wavelength")
        await asyncio.wrap_future(self.shared.calibrate(value))
        await self._flush()

    async def _tweak(self, sign):
        step = self.fields.tweak_step_size.value
        target = self.motor.value + sign * step
        await self._serve_move(target)

    # A client's write to a field of the record makes caproto recompute the
    # alarm that all fields share; each putter has it set back afterwards.
    @motor.fields.stop.putter
    async def motor(fields, instance, value):
        ioc = fields.parent.group
        ioc._restore_alarm()
        if value:
            ioc.drive.stop()
        return 0

    @motor.fields.tweak_motor_forward.putter
    async def motor(fields, instance, value):
        if value:
            await fields.parent.group._tweak(+1)
        return 0

    @motor.fields.tweak_motor_reverse.putter
    async def motor(fields, instance, value):
        if value:
            await fields.parent.group._tweak(-1)
        return 0

    @motor.fields.relative_value.putter
    async def motor(fields, instance, value):
        ioc = fields.parent.group
        if value:
            await ioc._serve_move(ioc.motor.value + value)
        return 0

    @motor.fields.tweak_step_size.putter
    async def motor(fields, instance, value):
        ioc = fields.parent.group
        ioc._restore_alarm()
        if not (math.isfinite(value) and value > 0):
            raise Refused("TWV must be a positive step in nm")
        return value

    @motor.fields.set_use_switch.putter
    async def motor(fields, instance, value):
        fields.parent.group._restore_alarm()
        return value

    # SSET and SUSE: buttons for SET.
    @staticmethod
    async def _press_mode(fields, pressed, mode):
        fields.parent.group._restore_alarm()
        if pressed:
            await fields.set_use_switch.write(mode, verify_value=False)
        return 0

    @motor.fields.set_set_mode.putter
    async def motor(fields, instance, value):
        return await GratingMotorIOC._press_mode(fields, value, SET)

    @motor.fields.set_use_mode.putter
    async def motor(fields, instance, value):
        return await GratingMotorIOC._press_mode(fields, value, USE)

    @motor.fields.offset_freeze_switch.putter
    async def motor(fields, instance, value):
        # The user offset stays 0: a Set changes the calibration, the dial.
        ioc = fields.parent.group
        ioc._restore_alarm()
        if value != FROZEN:
            raise Refused("the offset is frozen at 0: a Set recalibrates the module")
        return value

    # VELO and ACCL make one speed profile: a write to either sends both.
    async def _put_speed(self, velocity, seconds_to_velocity):
        self._restore_alarm()
        if not (math.isfinite(velocity) and velocity > 0 and math.isfinite(seconds_to_velocity)
                and seconds_to_velocity > 0):
            raise Refused("VELO must be a positive speed in nm/s and ACCL a positive time in s")
        # ACCL is the time to reach VELO: the acceleration is their ratio.
        await asyncio.wrap_future(self.shared.set_speed(velocity, seconds_to_velocity))
        await self._flush()

    @motor.fields.velocity.putter
    async def motor(fields, instance, value):
        await fields.parent.group._put_speed(value, fields.seconds_to_velocity.value)
        raise SkipWrite()  # the speed read back is written

    @motor.fields.seconds_to_velocity.putter
    async def motor(fields, instance, value):
        await fields.parent.group._put_speed(fields.velocity.value, value)
        raise SkipWrite()

    @trigger_width.putter
    async def trigger_width(self, instance, value):
        await asyncio.wrap_future(self.shared.set_setting("trigger_width", value, origin=self))
        return value

    @high_precision.putter
    async def high_precision(self, instance, value):
        self.shared.set_setting("high_precision", value == "On", origin=self)
        return value

    @trigger.putter
    async def trigger(self, instance, value):
        self.shared.set_setting("trigger", value, origin=self)
        return value

    @calibrate.putter
    async def calibrate(self, instance, value):
        if not math.isfinite(value):
            raise Refused("not a wavelength")
        await asyncio.wrap_future(self.shared.calibrate(value))
        await self._flush()
        return value

    # ------------------------------------------------------ drive -> PVs
    def _restore_alarm(self):
        self._updates.put_nowait({"alarm": True})

    async def _flush(self):
        """Returns once every update queued before it is on the PVs."""
        applied = asyncio.get_running_loop().create_future()
        self._updates.put_nowait({"flushed": applied})
        await applied

    # An alarm written to one field is sent to the subscribers of every field
    # (DMOV included), so it is written only where it changes.
    async def _set_alarm(self, alarm):
        self._alarm = status, severity = alarm
        for channel in (self.motor, self.fields.user_readback_value, self.state):
            if (channel.alarm.status, channel.alarm.severity) != alarm:
                await channel.write_metadata(status=status, severity=severity)

    async def _write_readback(self, channel, value):
        if (channel.alarm.status, channel.alarm.severity) == self._alarm:
            await channel.write(value, verify_value=False)
        else:  # a client's write to a field has cleared it
            status, severity = self._alarm
            await channel.write(value, verify_value=False, status=status, severity=severity)

    async def _apply(self, update):
        # Internal values are written without the limit check: in caproto it
        # recomputes the alarm shared by the record's fields and would clear it.
        fields = self.fields
        if "limits" in update:
            low, high = self._limits = update["limits"]
            await self.motor.write_metadata(lower_ctrl_limit=low, upper_ctrl_limit=high,
                                            lower_disp_limit=low, upper_disp_limit=high)
            for field, value in ((fields.user_low_limit, low), (fields.user_high_limit, high),
                                 (fields.dial_low_limit, low), (fields.dial_high_limit, high)):
                await field.write(value, verify_value=False)
        if update.get("constants") is not None:
            tolerance, top_speed = update["constants"]
            await fields.retry_deadband.write(tolerance, verify_value=False)
            await fields.max_velocity.write(top_speed, verify_value=False)
        if "speed" in update:
            velocity, acceleration = update["speed"]
            await fields.velocity.write(velocity, verify_value=False)
            if acceleration > 0:
                await fields.seconds_to_velocity.write(velocity / acceleration, verify_value=False)
        if "readback" in update:
            await self._write_readback(fields.user_readback_value, update["readback"])
            await fields.dial_readback_value.write(update["readback"], verify_value=False)
        if "setpoint" in update:
            await self._write_readback(self.motor, update["setpoint"])
            await fields.dial_desired_value.write(update["setpoint"], verify_value=False)
        if "current" in update:
            await self.current.write(update["current"], verify_value=False)
        if "limit_switch" in update:
            side = update["limit_switch"]
            await fields.user_high_limit_switch.write(1 if side == "high" else 0, verify_value=False)
            await fields.user_low_limit_switch.write(1 if side == "low" else 0, verify_value=False)
        if "state" in update:
            self._state = update["state"]
            self._alarm = ALARMS.get(update["state"], NO_ALARM)
            await self.state.write(STATE_NAMES[update["state"]], verify_value=False)
        if "state" in update or "alarm" in update:
            await self._set_alarm(self._alarm)
        if "message" in update:
            self.log.info("%s", update["message"])
            await self.message.write(update["message"][:299], verify_value=False)
        if "moving" in update:
            await fields.motor_is_moving.write(1 if update["moving"] else 0, verify_value=False)
            await fields.motion_in_progress.write(1 if update["moving"] else 0, verify_value=False)
        if update.get("done"):
            await fields.done_moving_to_value.write(1, verify_value=False)
        elif update.get("done") is False and "origin" in update:  # another face asked for a move
            await fields.done_moving_to_value.write(0, verify_value=False)
        if "high_precision" in update:
            await self.high_precision.write("On" if update["high_precision"] else "Off", verify_value=False)
        if "trigger" in update:
            await self.trigger.write(TRIGGER_KINDS[update["trigger"]], verify_value=False)
        if "trigger_width" in update:
            await self.trigger_width.write(update["trigger_width"], verify_value=False)
        if "flushed" in update:
            update["flushed"].set_result(None)
