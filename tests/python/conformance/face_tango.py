"""The Tango faces: the Tango device (vostelmotor_lab.tango_device) served in
this process by pytango's DeviceTestContext on 127.0.0.1, reached through a
DeviceProxy as a Sardana client does (a write to Position starts the move,
the client waits for State to leave MOVING, then tells the end from State
and where the grating stands), and through an ophyd-async TangoDevice that
names the device's attributes, moved by a bluesky RunEngine."""
import concurrent.futures
import threading
import time

# Imported at collection, while sys.path is whole (a test elsewhere in the same
# worker narrows it for a while); the test context imports psutil on first use.
# Without pytango the suite skips this face, for the reason its client gives.
try:
    from tango.test_context import DeviceTestContext
except ImportError:
    DeviceTestContext = None

from face import FAULT, LIMIT, NO_ALARM, Face, MoveFailed, Pending, Refused

POLL = 0.02  # s between State reads while a move runs


class TangoProxy(Face):
    name = "tango-proxy"
    requires = ("tango", "vostelmotor_lab.tango_device")

    context = None
    shared = None

    def open(self, rig):

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
        self._closing = threading.Event()
        end = time.monotonic() + 30
        while self.alarm() != NO_ALARM and time.monotonic() < end:
            time.sleep(0.05)

    def _proxy(self):
        import tango
        return tango.DeviceProxy(self.address)

    def close(self):
        if self.context is not None:
            # No client call may run while the server stops: in this process
            # client and server share omniORB's ORB, and a call on it while
            # it is destroyed ends the process (CORBA::INV_OBJREF, terminate).
            self._closing.set()
            self._quiet()
            self._waiting.shutdown(wait=True)
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
            if self._closing.is_set():
                raise MoveFailed("the face closed while the move ran")
            time.sleep(POLL)
        state, status = proxy.State(), proxy.Status()
        position, tolerance = proxy.Position, proxy.Tolerance
        if state != tango.DevState.ON:
            raise MoveFailed("%s: %s" % (state, status))
        if abs(position - target) > tolerance:
            raise MoveFailed("stood at %.4f nm, not at %.4f nm: %s" % (position, target, status))

    def _quiet(self):
        """Ends what this face still runs on the device (before it stops)."""

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


class TangoOphydAsync(TangoProxy):
    """The same device through an ophyd-async TangoDevice whose signals are
    named as the device's attributes: moves (a RunEngine's plans too), stop,
    position and speed go through it; the alarm, the limit switches, the
    limits and the calibration are read and written through the DeviceProxy
    face's calls."""
    name = "tango-ophyd-async"
    requires = ("tango", "vostelmotor_lab.tango_device", "ophyd_async.tango.core", "bluesky")

    def open(self, rig):
        self._moves = []
        super().open(rig)
        self.RE = _run_engine()
        self.device = self._run(_connect(self.address))

    def _quiet(self):
        # Moves still running (and with them the polling their set() started).
        for move in self._moves:
            move.cancel()
        concurrent.futures.wait(self._moves, 10)
        self._moves = []

    def _run(self, coro, timeout=60.0):
        import asyncio
        return asyncio.run_coroutine_threadsafe(coro, self.RE.loop).result(timeout)

    def start_move(self, target):
        import asyncio

        async def move():
            try:
                await self.device.set(target)
            except Exception as exc:
                if "authorized" in str(exc) or "outside" in str(exc):
                    raise Refused(str(exc)) from exc
                raise MoveFailed("%s: %s" % (type(exc).__name__, exc)) from exc
        future = asyncio.run_coroutine_threadsafe(move(), self.RE.loop)
        self._moves.append(future)
        return Pending(future)

    def stop(self):
        async def stop():
            await self.device.Stop.trigger()
        self._run(stop())

    def position(self):
        return self._run(self.device.Position.get_value())

    def speed(self):
        return self._run(self.device.Velocity.get_value())

    def set_speed(self, velocity):
        async def set_speed():
            await self.device.Velocity.set(velocity)
        self._run(set_speed())

    def scan(self, points, probe):
        from scanning import list_scan
        return list_scan(self.RE, self.device, points, probe, key=self.device.Position.name)


_RUN_ENGINES = []


def _run_engine():
    """One RunEngine for every test of this face: pytango's asyncio proxies
    stay tied to the first event loop they ran in."""
    if not _RUN_ENGINES:
        from bluesky import RunEngine
        _RUN_ENGINES.append(RunEngine({}, context_managers=[]))
    return _RUN_ENGINES[0]


async def _connect(address):
    """An ophyd-async device on the Tango device, connected."""
    import asyncio
    from dataclasses import dataclass
    from functools import cached_property
    from typing import Annotated as A

    from ophyd_async.core import (DEFAULT_TIMEOUT, MovableLogic, SignalR, SignalRW, StandardMovable,
                                  StandardReadable, TriggerableCommand)
    from ophyd_async.core import StandardReadableFormat as Format
    from ophyd_async.tango.core import DevStateEnum, TangoDevice, TangoPolling

    @dataclass
    class Logic(MovableLogic[float]):
        state: SignalR[DevStateEnum]
        status: SignalR[str]
        tolerance: SignalR[float]
        velocity: SignalRW[float]
        stop_command: TriggerableCommand

        async def stop(self):
            await self.stop_command.trigger()

        async def calculate_timeout(self, old_position, new_position):
            return abs(new_position - old_position) / await self.velocity.get_value() + DEFAULT_TIMEOUT

        async def move(self, new_position, timeout):
            await self.setpoint.set(new_position, timeout=timeout())
            # Read from the device, not the polled signals' last values: on a
            # loaded machine those can be from before the write (State ON, the
            # old Position). The device is MOVING from the write until the end.
            while True:
                state = await self.state.get_value(cached=False)
                if state != DevStateEnum.MOVING:
                    break
                if timeout() is not None and timeout() <= 0:
                    raise asyncio.TimeoutError("still MOVING at the move's time-out")
                await asyncio.sleep(0.02)
            position = await self.readback.get_value(cached=False)
            if state != DevStateEnum.ON or abs(position - new_position) > await self.tolerance.get_value():
                raise RuntimeError("%s at %.4f nm: %s" % (getattr(state, "value", state), position,
                                                         await self.status.get_value(cached=False)))

    class GratingOnTango(TangoDevice, StandardReadable, StandardMovable[float]):
        Position: A[SignalRW[float], TangoPolling(0.05, 1e-6, 1e-9), Format.HINTED_SIGNAL]
        Velocity: A[SignalRW[float], TangoPolling(0.1), Format.CONFIG_SIGNAL]
        Tolerance: A[SignalR[float], TangoPolling(0.5)]
        State: A[SignalR[DevStateEnum], TangoPolling(0.02)]
        Status: A[SignalR[str], TangoPolling(0.1)]
        Stop: TriggerableCommand

        @cached_property
        def movable_logic(self):
            return Logic(readback=self.Position, setpoint=self.Position, state=self.State, status=self.Status,
                         tolerance=self.Tolerance, velocity=self.Velocity, stop_command=self.Stop)

    device = GratingOnTango(address, name="grating")
    await device.connect(timeout=20)
    return device


FACES = [TangoProxy, TangoOphydAsync]
