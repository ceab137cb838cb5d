"""What the faces over an ophyd-async device share: the device lives on a
RunEngine's event loop, moves are its set() and scans are bluesky plans."""
import asyncio

from face import Face, Pending, Refused


class OphydAsyncFace(Face):
    """A face whose `motor` is an ophyd-async movable; open() makes self.RE
    (make_run_engine) before it connects anything."""

    motor = None
    refusals = ()  # exception types with which the device refuses a setpoint before sending it

    def make_run_engine(self):
        from bluesky import RunEngine
        self.RE = RunEngine({}, context_managers=[])

    def _submit(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.RE.loop)

    def _run(self, coro, timeout=60.0):
        return self._submit(coro).result(timeout)

    def _get(self, signal):
        return self._run(signal.get_value())

    def _wait(self, make_status, timeout=60.0):
        """Makes a status on the loop, as a plan would, and waits for it."""
        async def made():
            await make_status()
        self._run(made(), timeout)

    def start_move(self, target):
        async def move():
            try:
                await self.motor.set(target)
            except self.refusals as exc:
                raise Refused(str(exc)) from exc
        return Pending(self._submit(move()))

    def stop(self):
        self._run(self.motor.stop())

    def scan(self, points, probe):
        from scanning import list_scan
        return list_scan(self.RE, self.motor, points, probe)
