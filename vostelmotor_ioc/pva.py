"""The motor on PVAccess, through p4p's server: the same names as on Channel
Access (PREFIX + MOTOR and its .FIELD names, the PVs beside it), as normative
types with alarm, time stamp, display and control metadata.

A put that asks to wait (``record[block=true]``, what p4p's client and
ophyd-async send for a wait) is answered when the move it started has ended,
with an error when the move did not reach its target; a put that does not ask
is answered once the move is under way. A refused put is answered with an
error at once. The server listens on 127.0.0.1 only.
"""
import asyncio
import logging
import math
import time

from p4p.nt import NTEnum, NTScalar
from p4p.server import Server, StaticProvider
from p4p.server.asyncio import SharedPV

from vostelmotor_lab.drive import CALIBRATION_NEEDED, DISCONNECTED, ERROR, LIMIT_SWITCH, STATE_NAMES, describe
from vostelmotor_lab.shared import TRIGGER_KINDS, Refused

PRECISION = 4

# Alarm (severity, status, in the normative types' codes) in each state of the drive.
MAJOR, INVALID = 2, 3
DEVICE, DRIVER, RECORD = 1, 2, 3
ALARMS = {
    LIMIT_SWITCH: (MAJOR, DEVICE),
    CALIBRATION_NEEDED: (MAJOR, DEVICE),
    ERROR: (MAJOR, RECORD),
    DISCONNECTED: (INVALID, DRIVER),
}
NO_ALARM = (0, 0)

USE_SET = ("Use", "Set")
OFFSET = ("Variable", "Frozen")
OFF_ON = ("Off", "On")

log = logging.getLogger("vostelmotor.pva")


def loopback_conf(port=0):
    """A server configuration on 127.0.0.1 alone (port 0: any free one)."""
    return {
        "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_PVA_ADDR_LIST": "127.0.0.1",
        "EPICS_PVA_AUTO_ADDR_LIST": "NO",
        "EPICS_PVAS_SERVER_PORT": str(port),
        "EPICS_PVAS_BROADCAST_PORT": str(port + 1 if port else 0),
    }


def asks_to_wait(op):
    """True when the put's request says record[block=true]."""
    try:
        block = op.pvRequest()["record._options.block"]
    except (KeyError, TypeError, ValueError):
        return False
    return str(block).lower() in ("true", "1")


class _Handler:
    """Routes a put on one PV to the face's method for it."""

    def __init__(self, face, name):
        self.face = face
        self.name = name

    async def put(self, pv, op):
        task = asyncio.current_task()
        self.face._puts.add(task)
        try:
            await self.face._put(self.name, op)
        except asyncio.CancelledError:
            op.done(error="the IOC is shutting down")
            raise
        except Refused as exc:
            self.face._refused(self.name, op, str(exc))
        except Exception as exc:  # every path answers the client
            self.face._refused(self.name, op, describe(exc))
        finally:
            self.face._puts.discard(task)


class PvaMotor:
    """The motor's PVs on a p4p server, fed by a SharedDrive. Make it and
    call `start()` inside the running asyncio loop that serves it."""

    # (suffix, kind, initial value, units): kinds d (float), i (int), s (str), or a tuple of choices.
    FIELDS = (
        ("MOTOR.VAL", "d", 0.0, "nm"), ("MOTOR.RBV", "d", 0.0, "nm"), ("MOTOR.DVAL", "d", 0.0, "nm"),
        ("MOTOR.DRBV", "d", 0.0, "nm"), ("MOTOR.DMOV", "i", 1, ""), ("MOTOR.MOVN", "i", 0, ""),
        ("MOTOR.STOP", "i", 0, ""), ("MOTOR.VELO", "d", 0.0, "nm/s"), ("MOTOR.ACCL", "d", 0.0, "s"),
        ("MOTOR.VMAX", "d", 0.0, "nm/s"), ("MOTOR.HLM", "d", 0.0, "nm"), ("MOTOR.LLM", "d", 0.0, "nm"),
        ("MOTOR.DHLM", "d", 0.0, "nm"), ("MOTOR.DLLM", "d", 0.0, "nm"), ("MOTOR.HLS", "i", 0, ""),
        ("MOTOR.LLS", "i", 0, ""), ("MOTOR.LVIO", "i", 0, ""), ("MOTOR.EGU", "s", "nm", ""),
        ("MOTOR.PREC", "i", PRECISION, ""), ("MOTOR.RDBD", "d", 0.0, "nm"), ("MOTOR.MISS", "i", 0, ""),
        ("MOTOR.SET", USE_SET, "Use", ""), ("MOTOR.FOFF", OFFSET, "Frozen", ""), ("MOTOR.OFF", "d", 0.0, "nm"),
        ("MOTOR.TWV", "d", 0.1, "nm"), ("MOTOR.TWF", "i", 0, ""), ("MOTOR.TWR", "i", 0, ""),
        ("MOTOR.MRES", "d", 0.0, "nm"), ("MOTOR.SREV", "i", 0, ""), ("MOTOR.UREV", "d", 0.0, "nm"),
        ("MOTOR.ERES", "d", 0.0, "nm"), ("MOTOR.OUT", "s", "", ""), ("MOTOR.DESC", "s", "", ""),
        ("HIGH_PRECISION", OFF_ON, "Off", ""), ("TRIGGER", TRIGGER_KINDS, "None", ""),
        ("TRIGGER_WIDTH", "d", 0.0, "nm"), ("CURRENT", "i", 0, "mA"), ("CALIBRATE", "d", 0.0, "nm"),
        ("STATE", STATE_NAMES, STATE_NAMES[DISCONNECTED], ""), ("MESSAGE", "s", "Starting", ""),
    )
    ALARMED = ("MOTOR.VAL", "MOTOR.RBV", "STATE")

    def __init__(self, shared, prefix="LASER:GRATING:", description="Grating motor"):
        self.shared = shared
        self.prefix = prefix
        self.description = description
        self.pvs = {}
        self._types = {}
        self._values = {}
        self._nts = {}
        self._puts = set()  # put handlers still running
        self._server = None
        self._provider = None
        self._loop = None
        self._alarm = ALARMS[DISCONNECTED]
        self._alarm_text = STATE_NAMES[DISCONNECTED]
        self._limits = (-math.inf, math.inf)

    @property
    def names(self):
        """Every PV name served."""
        return [self.prefix + suffix for suffix in self.pvs] + [self.prefix + "MOTOR"]

    def start(self, port=None):
        """Serves the PVs (on `port` of 127.0.0.1, or on a free port with p4p
        isolated from every other interface when no port is given)."""
        self._loop = asyncio.get_running_loop()
        self._provider = StaticProvider("vostelmotor")
        now = time.time()
        for suffix, kind, initial, units in self.FIELDS:
            pv = SharedPV(handler=_Handler(self, suffix))
            if isinstance(kind, tuple):
                nt = NTEnum(display=True)
                pv.open(nt.wrap({"index": kind.index(initial), "choices": list(kind)}, timestamp=now))
            else:
                nt = NTScalar(kind, display=True, control=kind != "s", form=kind != "s")
                display = {"units": units, "description": suffix}
                if kind != "s":
                    display["precision"] = PRECISION if kind == "d" else 0
                pv.open(nt.wrap({"value": initial, "display": display}, timestamp=now))
            self._types[suffix] = kind
            self._values[suffix] = initial
            self._nts[suffix] = nt
            self.pvs[suffix] = pv
            self._provider.add(self.prefix + suffix, pv)
        self._provider.add(self.prefix + "MOTOR", self.pvs["MOTOR.VAL"])
        self._post("MOTOR.DESC", self.description)
        self._set_alarm(ALARMS[DISCONNECTED], STATE_NAMES[DISCONNECTED])
        start = self.shared.subscribe(self._listen)
        self._apply({key: value for key, value in start.items()
                     if value is not None and key not in ("done", "moving", "setpoint")})
        if port is None:
            self._server = Server(providers=[self._provider], isolate=True)
        else:
            self._server = Server(providers=[self._provider], conf=loopback_conf(port), useenv=False)
        return self

    def conf(self):
        """The server's configuration (EPICS_PVA_* names), for a client."""
        return self._server.conf()

    def client_environment(self):
        """What a p4p client (or ophyd-async) needs in its environment to
        find this server on the loopback."""
        conf = self.conf()
        return {
            "EPICS_PVA_ADDR_LIST": "127.0.0.1",
            "EPICS_PVA_AUTO_ADDR_LIST": "NO",
            "EPICS_PVA_BROADCAST_PORT": conf["EPICS_PVAS_BROADCAST_PORT"],
            "EPICS_PVA_SERVER_PORT": conf["EPICS_PVAS_SERVER_PORT"],
            "EPICS_PVA_NAME_SERVERS": "127.0.0.1:%s" % conf["EPICS_PVAS_SERVER_PORT"],
        }

    def stop(self):
        """Stops serving; puts still waiting for their move end with an error."""
        self.shared.unsubscribe(self._listen)
        for task in list(self._puts):
            task.cancel()
        if self._server is not None:
            self._server.stop()
            self._server = None
        for pv in self.pvs.values():
            pv.close()

    # ---------------------------------------------------------- drive -> PVs
    def _listen(self, update):
        if update.get("origin") is not self:  # what this face asked for is on its PVs already
            self._loop.call_soon_threadsafe(self._apply, update)

    def _post(self, suffix, value, **meta):
        """Posts a new value (with `meta`: {"display": {...}, "control": {...}})."""
        kind = self._types[suffix]
        self._values[suffix] = value
        data = {"value": {"index": kind.index(value)} if isinstance(kind, tuple) else value}
        if suffix in self.ALARMED:
            severity, status = self._alarm
            data["alarm"] = {"severity": severity, "status": status,
                             "message": self._alarm_text if self._alarm != NO_ALARM else ""}
        data.update(meta)
        seconds, fraction = divmod(time.time(), 1.0)
        data["timeStamp"] = {"secondsPastEpoch": int(seconds), "nanoseconds": int(fraction * 1e9)}
        try:
            self.pvs[suffix].post(self._nts[suffix].wrap(data))
        except Exception as exc:  # closed at shutdown
            log.warning("posting %s failed: %s", suffix, exc)

    def _value(self, suffix):
        return self._values[suffix]

    def _set_alarm(self, alarm, text):
        self._alarm, self._alarm_text = alarm, text
        for suffix in self.ALARMED:
            self._post(suffix, self._value(suffix))

    def _apply(self, update):
        if "limits" in update:
            low, high = self._limits = update["limits"]
            limits = {"display": {"limitLow": low, "limitHigh": high},
                      "control": {"limitLow": low, "limitHigh": high}}
            self._post("MOTOR.VAL", self._value("MOTOR.VAL"), **limits)
            self._post("MOTOR.RBV", self._value("MOTOR.RBV"), **limits)
            for suffix, value in (("MOTOR.HLM", high), ("MOTOR.LLM", low), ("MOTOR.DHLM", high),
                                  ("MOTOR.DLLM", low)):
                self._post(suffix, value)
        if update.get("constants") is not None:
            tolerance, top_speed = update["constants"]
            self._post("MOTOR.RDBD", tolerance)
            self._post("MOTOR.VMAX", top_speed)
        if update.get("speed") is not None:
            velocity, acceleration = update["speed"]
            self._post("MOTOR.VELO", velocity)
            if acceleration > 0:
                self._post("MOTOR.ACCL", velocity / acceleration)
        if update.get("readback") is not None:
            self._post("MOTOR.RBV", update["readback"])
            self._post("MOTOR.DRBV", update["readback"])
        if update.get("setpoint") is not None:
            self._post("MOTOR.VAL", update["setpoint"])
            self._post("MOTOR.DVAL", update["setpoint"])
        if "current" in update:
            self._post("CURRENT", int(update["current"]))
        if "limit_switch" in update:
            side = update["limit_switch"]
            self._post("MOTOR.HLS", 1 if side == "high" else 0)
            self._post("MOTOR.LLS", 1 if side == "low" else 0)
        if "state" in update:
            state = update["state"]
            self._post("STATE", STATE_NAMES[state])
            self._set_alarm(ALARMS.get(state, NO_ALARM), STATE_NAMES[state])
        if "message" in update:
            self._post("MESSAGE", update["message"])
        if "moving" in update:
            self._post("MOTOR.MOVN", 1 if update["moving"] else 0)
        if update.get("done"):
            self._post("MOTOR.DMOV", 1)
        elif update.get("done") is False and "origin" in update:
            self._post("MOTOR.DMOV", 0)
        if "high_precision" in update:
            self._post("HIGH_PRECISION", OFF_ON[int(bool(update["high_precision"]))])
        if "trigger" in update:
            self._post("TRIGGER", TRIGGER_KINDS[update["trigger"]])
        if "trigger_width" in update:
            self._post("TRIGGER_WIDTH", update["trigger_width"])

    # ----------------------------------------------------------- client puts
    def _refused(self, suffix, op, reason):
        log.warning("Refused %s%s from %s: %s", self.prefix, suffix, op.peer(), reason)
        op.done(error=reason)

    @staticmethod
    def _number(op):
        value = op.value()
        raw = value.raw if hasattr(value, "raw") else value
        try:
            number = raw["value"]
        except (KeyError, TypeError):
            number = value
        if hasattr(number, "index"):  # an enum: its index
            number = number["index"]
        try:
            return float(number)
        except (TypeError, ValueError):
            raise Refused("not a number: %r" % (number,)) from None

    @staticmethod
    def _choice(op, choices):
        raw = op.value().raw if hasattr(op.value(), "raw") else op.value()
        if raw.changed("value.index"):
            index = raw["value.index"]
            if 0 <= index < len(choices):
                return choices[index]
        try:
            text = raw["value"]
            if isinstance(text, str) and text in choices:
                return text
        except (KeyError, TypeError):
            pass
        raise Refused("one of %s" % ", ".join(choices))

    async def _put(self, suffix, op):
        if suffix == "MOTOR.VAL":
            value = self._number(op)
            if self._value("MOTOR.SET") == "Set":
                await asyncio.wrap_future(self.shared.calibrate(value))
                op.done()
            else:
                await self._serve_move(value, op)
        elif suffix == "MOTOR.STOP":
            if self._number(op):
                self.shared.stop()
            op.done()
        elif suffix in ("MOTOR.TWF", "MOTOR.TWR"):
            if self._number(op):
                step = self._value("MOTOR.TWV")
                await self._serve_move(self._value("MOTOR.VAL") + (step if suffix == "MOTOR.TWF" else -step), op)
            else:
                op.done()
        elif suffix == "MOTOR.TWV":
            step = self._number(op)
            if not (math.isfinite(step) and step > 0):
                raise Refused("TWV must be a positive step in nm")
            self._post(suffix, step)
            op.done()
        elif suffix == "MOTOR.VELO":
            await asyncio.wrap_future(self.shared.set_speed(self._number(op), self._value("MOTOR.ACCL")))
            op.done()
        elif suffix == "MOTOR.ACCL":
            await asyncio.wrap_future(self.shared.set_speed(self._value("MOTOR.VELO"), self._number(op)))
            op.done()
        elif suffix == "MOTOR.SET":
            self._post(suffix, self._choice(op, USE_SET))
            op.done()
        elif suffix == "MOTOR.FOFF":
            if self._choice(op, OFFSET) != "Frozen":
                raise Refused("the offset is frozen at 0: a Set recalibrates the module")
            op.done()
        elif suffix == "HIGH_PRECISION":
            self.shared.set_setting("high_precision", self._choice(op, OFF_ON) == "On", origin=self)
            self._post(suffix, self._choice(op, OFF_ON))
            op.done()
        elif suffix == "TRIGGER":
            choice = self._choice(op, TRIGGER_KINDS)
            self.shared.set_setting("trigger", choice, origin=self)
            self._post(suffix, choice)
            op.done()
        elif suffix == "TRIGGER_WIDTH":
            width = self._number(op)
            await asyncio.wrap_future(self.shared.set_setting("trigger_width", width, origin=self))
            self._post(suffix, width)
            op.done()
        elif suffix == "CALIBRATE":
            value = self._number(op)
            await asyncio.wrap_future(self.shared.calibrate(value))
            self._post(suffix, value)
            op.done()
        else:
            raise Refused("%s%s is read-only" % (self.prefix, suffix))

    async def _serve_move(self, target, op):
        """Starts a move; answers the put at once, or at its end when the
        put asked to wait."""
        wait = asks_to_wait(op)
        try:
            future = self.shared.move_to(target, origin=self)
        except Refused as exc:
            self._post("MOTOR.LVIO", 1 if exc.out_of_range else 0)
            raise
        self._post("MOTOR.LVIO", 0)
        self._post("MOTOR.MISS", 0)
        self._post("MOTOR.DMOV", 0)
        self._post("MOTOR.VAL", target)
        self._post("MOTOR.DVAL", target)
        if not wait:
            op.done()
        result = await asyncio.wrap_future(future)
        if not result.ok:
            self._post("MOTOR.MISS", 1)
        if wait:
            if result.ok:
                op.done()
            else:
                op.done(error="the move to %s nm did not reach its target: %s" % (target, result.message))
