"""PVAccess faces: the IOC's PVA server in this process (on one drive with
its Channel Access server off), reached through p4p's client and through
ophyd-async's Motor over pva://."""
import concurrent.futures
import time

from face import FAULT, LIMIT, NO_ALARM, Face, MoveFailed, Pending, Refused

ALARMS = {"Idle": NO_ALARM, "Moving": NO_ALARM, "Limit switch": LIMIT, "Calibration needed": LIMIT,
          "Error": FAULT, "Disconnected": FAULT}
STATES = tuple(ALARMS)
# Texts of the server's refusals, answered before anything moves.
REFUSALS = ("outside the calibrated range", "not connected", "calibration needed")


class _PvaServed(Face):
    """Starts the PVA face on rig.sim; subclasses connect their client."""

    served = None

    def _serve(self, rig):
        from helpers.faces import ServedFaces
        self.prefix = rig.name
        self.served = ServedFaces(rig.name, ca=False, pva=True)
        self.controller = rig.controller

    def _stop_serving(self):
        if self.served is not None:
            self.served.stop()
            self.served = None


class PvaP4p(_PvaServed):
    name = "pva-p4p"
    requires = ("p4p",)

    ctx = None

    def open(self, rig):
        self._serve(rig)
        self.ctx = self.served.pva_context()
        self._waiting = concurrent.futures.ThreadPoolExecutor(4, thread_name_prefix="pva-put")
        _until_standing(self)

    def close(self):
        if self.ctx is not None:
            self._waiting.shutdown(wait=False)
            self.ctx.close()
        self._stop_serving()

    def _get(self, suffix):
        try:
            return self.ctx.get(self.prefix + suffix, timeout=10)
        except TimeoutError:
            raise TimeoutError(self._why_unanswered(suffix)) from None

    def _why_unanswered(self, suffix):
        """What a get that timed out tells: whether a client of its own reaches
        the server now (then this client's channel is stuck), and whether the
        server's thread still runs."""
        name = self.prefix + suffix
        fresh = self.served.pva_context()
        start = time.monotonic()
        try:
            fresh.get(name, timeout=5)
            answer = "a new client got it in %.2f s" % (time.monotonic() - start)
        except Exception as exc:
            answer = "a new client failed too (%r)" % exc
        finally:
            fresh.close()
        return "%s: no answer within 10 s; %s; the server's thread %s" % (
            name, answer, "runs" if self.served._thread.is_alive() else "has ended")

    def _put(self, suffix, value, wait=True, timeout=10.0):
        self.ctx.put(self.prefix + suffix, value, wait=wait, timeout=timeout)

    def start_move(self, target):
        from p4p.client.thread import RemoteError

        def move():
            try:
                self._put("MOTOR.VAL", target, wait=True, timeout=120)
            except RemoteError as exc:
                text = str(exc)
                raise (Refused if any(r in text for r in REFUSALS) else MoveFailed)(text) from exc
        return Pending(self._waiting.submit(move))

    def stop(self):
        self._put("MOTOR.STOP", 1)

    def position(self):
        return float(self._get("MOTOR.RBV"))

    def moving(self):
        return self._get("MOTOR.DMOV") == 0

    def alarm(self):
        return ALARMS[STATES[self._get("STATE").raw["value.index"]]]

    def limit_switches(self):
        return bool(self._get("MOTOR.LLS")), bool(self._get("MOTOR.HLS"))

    def limits(self):
        return float(self._get("MOTOR.LLM")), float(self._get("MOTOR.HLM"))

    def speed(self):
        return float(self._get("MOTOR.VELO"))

    def set_speed(self, velocity):
        self._put("MOTOR.VELO", velocity)

    def calibrate(self, wavelength):
        self._put("CALIBRATE", wavelength, timeout=30)


class PvaOphydAsync(_PvaServed):
    name = "pva-ophyd-async"
    requires = ("p4p", "ophyd_async.epics.motor", "bluesky")

    loop = None

    def open(self, rig):
        from bluesky import RunEngine
        from ophyd_async.core import init_devices
        from ophyd_async.epics.core import _p4p, epics_signal_r, epics_signal_rw
        from ophyd_async.epics.motor import Motor

        self._serve(rig)
        self.RE = RunEngine({}, context_managers=[])
        self.loop = self.RE.loop
        pv = "pva://" + self.prefix

        async def connect():
            _p4p._context = self.served.pva_context("asyncio")  # ophyd-async's client, for this server
            async with init_devices():  # connects the devices it finds among these locals
                grating = Motor(pv + "MOTOR", name="grating")
                state = epics_signal_r(str, pv + "STATE", name="state")
                calibration = epics_signal_rw(float, pv + "CALIBRATE", name="calibration")
            return grating, state, calibration
        self.motor, self.state, self.calibration = self._run(connect())
        _until_standing(self)

    def close(self):
        if self.loop is not None:
            from ophyd_async.epics.core import _p4p
            if _p4p._context is not None:
                self._run(_close(_p4p))
        self._stop_serving()

    def _run(self, coro, timeout=60.0):
        return self._submit(coro).result(timeout)

    def _submit(self, coro):
        import asyncio
        return asyncio.run_coroutine_threadsafe(coro, self.loop)

    def _get(self, signal):
        return self._run(signal.get_value())

    def start_move(self, target):
        from ophyd_async.epics.motor import MotorLimitsError

        async def move():
            try:
                await self.motor.set(target)
            except MotorLimitsError as exc:
                raise Refused(str(exc)) from exc
            except Exception as exc:
                raise MoveFailed("%s: %s" % (type(exc).__name__, exc)) from exc
        return Pending(self._submit(move()))

    def stop(self):
        self._run(self.motor.stop(success=False))

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

    def set_speed(self, velocity):
        async def set_speed():
            await self.motor.velocity.set(velocity)
        self._run(set_speed())

    def calibrate(self, wavelength):
        async def calibrate():
            await self.calibration.set(wavelength)
        self._run(calibrate())

    def scan(self, points, probe):
        from scanning import list_scan
        return list_scan(self.RE, self.motor, points, probe, key=self.motor.user_readback.name)


def _until_standing(face, timeout=30.0):
    """Returns once the face shows the motor connected and without alarm."""
    end = time.monotonic() + timeout
    while face.alarm() != NO_ALARM and time.monotonic() < end:
        time.sleep(0.05)


async def _close(p4p_module):
    context, p4p_module._context = p4p_module._context, None
    context.close()


FACES = [PvaP4p, PvaOphydAsync]
