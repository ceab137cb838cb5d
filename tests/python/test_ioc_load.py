"""Clients on every face writing setpoints and STOP at random to one drive:
two on Channel Access, one on PVAccess and, with pytango, one on Tango. Every
put completes (a PVA put whose move was stopped or replaced completes with an
error, as it should), DMOV ends at 1, the grating ends where the last
setpoint said, every face agrees with the controller, and the threads and
tasks are as many at the end as at the start. VOSTEL_IOC_LOAD_SECONDS sets
the length (the full run: 120)."""
import asyncio
import os
import random
import threading
import time

import pytest

from helpers.ioc import close, pvs, value, wait_until

SECONDS = float(os.environ.get("VOSTEL_IOC_LOAD_SECONDS", "15"))


def task_count(loop):
    async def count():
        return len(asyncio.all_tasks())
    return asyncio.run_coroutine_threadsafe(count(), loop).result(10)


# Imported while sys.path is whole (a test elsewhere in the same worker narrows
# it for a while); the test context imports psutil on first use.
try:
    import tango
    from tango.test_context import DeviceTestContext
except ImportError:
    tango = DeviceTestContext = None


@pytest.fixture
def tango_face(sim, monkeypatch):
    """tango_face(shared) -> a DeviceProxy to the Tango device on `shared`, or
    None without pytango; the server stops at the end of the test."""
    contexts = []

    def start(shared):
        if DeviceTestContext is None:
            return None
        from helpers.ioc import free_port
        from vostelmotor_lab.tango_device import GratingMotor
        GratingMotor.serve(shared)
        context = DeviceTestContext(GratingMotor, device_name="laser/grating/1", process=False,
                                    host="127.0.0.1", port=free_port())
        context.start()
        contexts.append(context)
        return tango.DeviceProxy(context.get_device_access())

    yield start
    for context in contexts:
        context.stop()


def test_every_face_at_random(serve_faces, client, tango_face, sim):
    faces = serve_faces("LOAD:", wall_speed=2.0)
    state, rbv, dmov = pvs(client(), faces.prefix, "STATE", "MOTOR.RBV", "MOTOR.DMOV")
    wait_until(lambda: value(state) == 0, 30, what="connected")
    ca_clients = [pvs(client(), faces.prefix, "MOTOR", "MOTOR.STOP") for _ in range(2)]
    pva = faces.pva_context()
    proxy = tango_face(faces.shared)
    threads_before, tasks_before = threading.active_count(), task_count(faces.loop)

    deadline = time.monotonic() + SECONDS
    answers, failures = [], []

    def ca_work(rng, val, stop):
        if rng.random() < 0.25:
            return "STOP", stop.write(1, wait=True, timeout=60).status.name
        return "VAL", val.write(rng.uniform(772.0, 788.0), wait=True, timeout=120).status.name

    def pva_work(rng):
        from p4p.client.thread import RemoteError
        try:
            if rng.random() < 0.25:
                pva.put(faces.prefix + "MOTOR.STOP", 1, wait=True, timeout=60)
                return "STOP", "completed"
            pva.put(faces.prefix + "MOTOR.VAL", rng.uniform(772.0, 788.0), wait=True, timeout=120)
            return "VAL", "completed"
        except RemoteError as exc:  # its move was stopped or replaced: completed, not reached
            assert "did not reach its target" in str(exc), exc
            return "VAL", "completed"

    def tango_work(rng):
        if rng.random() < 0.25:
            proxy.Stop()
            return "STOP", "completed"
        proxy.Position = rng.uniform(772.0, 788.0)  # returns at once; the move runs on
        return "VAL", "completed"

    def work(seed, face, job):
        rng = random.Random(seed)
        try:
            while time.monotonic() < deadline:
                kind, status = job(rng)
                answers.append((face, kind, status))
                time.sleep(rng.uniform(0.0, 0.3))
        except Exception as exc:  # a put that never completed
            failures.append((face, exc))

    jobs = [("ca", lambda rng, pv=pv: ca_work(rng, *pv)) for pv in ca_clients] + [("pva", pva_work)]
    if proxy is not None:
        jobs.append(("tango", tango_work))
    workers = [threading.Thread(target=work, args=(n, face, job)) for n, (face, job) in enumerate(jobs)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(SECONDS + 180)
    assert not any(worker.is_alive() for worker in workers) and not failures, failures
    counts = {face: sum(1 for f, kind, _ in answers if f == face and kind == "VAL") for face, _ in jobs}
    print("load: %d puts in %g s (%s setpoints by face)" % (len(answers), SECONDS, counts))
    assert all(status in ("ECA_NORMAL", "completed") for _, _, status in answers), answers
    assert all(count >= 2 for count in counts.values()), counts

    # The last setpoint, from the last face to write, is where the grating ends.
    wait_until(lambda: value(dmov) == 1, 60, what="the last move's end")
    last = 783.25
    if proxy is not None:
        import tango
        proxy.Position = last
        wait_until(lambda: proxy.State() == tango.DevState.ON, 60, what="Tango's last move")
    else:
        pva.put(faces.prefix + "MOTOR.VAL", last, wait=True, timeout=60)
    wait_until(lambda: value(dmov) == 1 and get(pva, faces.prefix + "MOTOR.DMOV") == 1, 30, what="DMOV at 1")
    assert not sim.moving()
    controller = faces.shared.drive.submit(lambda m: m.getWavelength()).result(10)
    tolerance = get(pva, faces.prefix + "MOTOR.RDBD")
    assert abs(controller - last) <= tolerance, (controller, last)
    wait_until(lambda: close(value(rbv), controller, 1e-6), 10, what="CA's readback")
    assert close(get(pva, faces.prefix + "MOTOR.RBV"), controller, 1e-6)
    if proxy is not None:
        assert close(proxy.Position, controller, 1e-6)
    wait_until(lambda: threading.active_count() == threads_before, 10, what="threads back to their count")
    wait_until(lambda: task_count(faces.loop) == tasks_before, 10, what="tasks back to their count")
    pva.close()


def get(ctx, name):
    return ctx.get(name, timeout=10)
