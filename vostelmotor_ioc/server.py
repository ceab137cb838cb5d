"""The PVs: a motor record for the grating, in nm, and the settings the record
has no field for."""
import math

from caproto import AlarmSeverity, AlarmStatus, ChannelType
from caproto.server import PVGroup, pvproperty

from . import access
from vostelmotor_lab.drive import (CALIBRATION_NEEDED, DISCONNECTED, ERROR, LIMIT_SWITCH, STATE_NAMES, Drive)

TRIGGER_KINDS = ("None", "Position compare", "Motion")

# Alarm of the motor record (and of STATE) in each state of the drive.
ALARMS = {
    LIMIT_SWITCH: (AlarmStatus.HWLIMIT, AlarmSeverity.MAJOR_ALARM),
    CALIBRATION_NEEDED: (AlarmStatus.HWLIMIT, AlarmSeverity.MAJOR_ALARM),
    ERROR: (AlarmStatus.STATE, AlarmSeverity.MAJOR_ALARM),
    DISCONNECTED: (AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM),
}
NO_ALARM = (AlarmStatus.NO_ALARM, AlarmSeverity.NO_ALARM)

# Writable by the listed hosts and users only; STOP by every client; the rest
# is read-only.
GUARDED = ("MOTOR", "MOTOR.VAL", "MOTOR.VELO", "MOTOR.ACCL",
           "HIGH_PRECISION", "TRIGGER", "TRIGGER_WIDTH", "CALIBRATE")
EVERYONE = ("MOTOR.STOP",)


class GratingMotorIOC(PVGroup):
    """One grating motor: PREFIX + MOTOR is a motor record in nm, and
    HIGH_PRECISION, TRIGGER, TRIGGER_WIDTH, CURRENT, CALIBRATE, STATE and
    MESSAGE sit beside it."""

    # The wavelength setpoint in nm; writing it starts a move. DESC is set at startup.
    motor = pvproperty(name="MOTOR", value=0.0, record="motor", precision=4)
    high_precision = pvproperty(name="HIGH_PRECISION", value="Off", dtype=ChannelType.ENUM,
                                enum_strings=("Off", "On"),
                                doc="Moves end with an approach from shorter wavelengths")
    trigger = pvproperty(name="TRIGGER", value="None", dtype=ChannelType.ENUM,
                         enum_strings=TRIGGER_KINDS, doc="Trigger output during moves")
    trigger_width = pvproperty(name="TRIGGER_WIDTH", value=0.0, precision=4, units="nm",
                               doc="Position-compare pulse every this many nm of travel")
    current = pvproperty(name="CURRENT", value=0, units="mA", read_only=True,
                         doc="Motor current")
    calibrate = pvproperty(name="CALIBRATE", value=0.0, precision=4, units="nm",
                           doc="Declare the present position to be this wavelength")
    state = pvproperty(name="STATE", value=STATE_NAMES[DISCONNECTED], dtype=ChannelType.ENUM,
                       enum_strings=STATE_NAMES, read_only=True)
    message = pvproperty(name="MESSAGE", value="Starting", dtype=ChannelType.CHAR, max_length=300,
                         string_encoding="utf-8", read_only=True,
                         doc="What the IOC did last, in words")

    def __init__(self, *args, usb="USB0", write_list=None, description="Grating motor", **kwargs):
        super().__init__(*args, **kwargs)
        self.usb = usb
        self.write_list = write_list or access.WriteList.parse(None)
        self.description = description
        self.drive = None
        self._alarm = ALARMS[DISCONNECTED]
        self._limits = (-math.inf, math.inf)
        self._updates = None
        writers = access.listed_writers(self.write_list)
        for name, channel in self._channels():
            suffix = name[len(self.prefix):]
            if suffix in EVERYONE:
                channel.check_access = access.everyone_writes
            elif suffix in GUARDED:
                channel.check_access = writers
            else:
                channel.check_access = access.read_only

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
        await fields.engineering_units.write("nm", verify_value=False)
        await fields.description.write(self.description, verify_value=False)
        await fields.done_moving_to_value.write(1, verify_value=False)
        await fields.motor_is_moving.write(0, verify_value=False)
        await self._set_alarm(ALARMS[DISCONNECTED])
        self._updates = async_lib.ThreadsafeQueue()
        self.drive = Drive(self._updates.put, usb=self.usb, calibration_pv=self.calibrate.pvname)
        self.drive.start()
        while True:
            update = await self._updates.async_get()
            await self._apply(update)

    @motor.shutdown
    async def motor(self, instance, async_lib):
        if self.drive is not None:
            self.drive.close()

    # ----------------------------------------------------------- client puts
    @motor.putter
    async def motor(self, instance, value):
        fields = self.fields
        self._updates.put({"alarm": True})  # a refused write sets caproto's own
        low, high = self._limits
        if not (math.isfinite(value) and low <= value <= high):
            await fields.limit_violation.write(1, verify_value=False)
            raise ValueError("%r nm is outside the calibrated range %s to %s nm" % (value, low, high))
        await fields.limit_violation.write(0, verify_value=False)
        await fields.direction_of_travel.write(1 if value > fields.user_readback_value.value else 0, verify_value=False)
        await fields.done_moving_to_value.write(0, verify_value=False)
        try:
            self.drive.move_to(value, self.high_precision.value == "On",
                               TRIGGER_KINDS.index(self.trigger.value))
        except Exception:
            await fields.done_moving_to_value.write(1, verify_value=False)
            raise
        await fields.dial_desired_value.write(value, verify_value=False)
        return value

    # A client's write to a field of the record makes caproto recompute the
    # alarm that all fields share; each putter has it set back afterwards.
    @motor.fields.stop.putter
    async def motor(fields, instance, value):
        ioc = fields.parent.group
        ioc._updates.put({"alarm": True})
        if value:
            ioc.drive.stop()
        return 0

    # VELO and ACCL make one speed profile: a write to either sends both.
    @staticmethod
    def _put_speed(fields, velocity, seconds_to_velocity, written, requirement):
        ioc = fields.parent.group
        ioc._updates.put({"alarm": True})
        if not (math.isfinite(written) and written > 0):
            raise ValueError(requirement)
        if not (math.isfinite(velocity) and velocity > 0 and math.isfinite(seconds_to_velocity)
                and seconds_to_velocity > 0):
            raise ValueError("VELO and ACCL must both be positive")
        # ACCL is the time to reach VELO: the acceleration is their ratio.
        ioc.drive.set_speed(velocity, velocity / seconds_to_velocity)
        return written

    @motor.fields.velocity.putter
    async def motor(fields, instance, value):
        return GratingMotorIOC._put_speed(fields, value, fields.seconds_to_velocity.value, value,
                                          "VELO must be a positive speed in nm/s")

    @motor.fields.seconds_to_velocity.putter
    async def motor(fields, instance, value):
        return GratingMotorIOC._put_speed(fields, fields.velocity.value, value, value,
                                          "ACCL must be a positive time in s")

    @trigger_width.putter
    async def trigger_width(self, instance, value):
        if not (math.isfinite(value) and value > 0):
            raise ValueError("the trigger interval must be a positive width in nm")
        self.drive.set_trigger_width(value)
        return value

    @calibrate.putter
    async def calibrate(self, instance, value):
        if not math.isfinite(value):
            raise ValueError("not a wavelength: %r" % value)
        self.drive.calibrate(value)
        return value

    # ------------------------------------------------------ drive -> PVs
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
            self._alarm = ALARMS.get(update["state"], NO_ALARM)
            await self.state.write(STATE_NAMES[update["state"]], verify_value=False)
        if "state" in update or "alarm" in update:
            await self._set_alarm(self._alarm)
        if "message" in update:
            self.log.info("%s", update["message"])
            await self.message.write(update["message"][:299], verify_value=False)
        if "moving" in update:
            await fields.motor_is_moving.write(1 if update["moving"] else 0, verify_value=False)
        if update.get("done"):
            await fields.done_moving_to_value.write(1, verify_value=False)
