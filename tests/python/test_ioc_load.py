"""Two clients writing setpoints and STOP at random: every put completes, DMOV
ends at 1, RBV agrees with the controller, and the IOC's threads and tasks
are as many at the end as at the start. VOSTEL_IOC_LOAD_SECONDS sets the
length (the full run: 120)."""
import asyncio
import os
import random
import threading
import time

from helpers.ioc import pvs, value, wait_until

SECONDS = float(os.environ.get("VOSTEL_IOC_LOAD_SECONDS", "15"))


def task_count(ioc):
    async def count():
        return len(asyncio.all_tasks())
    return asyncio.run_coroutine_threadsafe(count(), ioc.loop).result(10)


def test_two_clients_at_random(serve, client, sim):
    ioc = serve("LOAD:", wall_speed=2.0)
    state, rbv, dmov = pvs(client(), ioc.prefix, "STATE", "MOTOR.RBV", "MOTOR.DMOV")
    wait_until(lambda: value(state) == 0, 30, what="connected")
    clients = [pvs(client(), ioc.prefix, "MOTOR", "MOTOR.STOP") for _ in range(2)]
    threads_before, tasks_before = threading.active_count(), task_count(ioc)

    deadline = time.monotonic() + SECONDS
    answers, failures = [], []

    def work(seed, val, stop):
        rng = random.Random(seed)
        try:
            while time.monotonic() < deadline:
                if rng.random() < 0.25:
                    answers.append(("STOP", stop.write(1, wait=True, timeout=60).status.name))
                else:
                    answers.append(("VAL", val.write(rng.uniform(772.0, 788.0), wait=True, timeout=120).status.name))
                time.sleep(rng.uniform(0.0, 0.3))
        except Exception as exc:  # a put that never completed
            failures.append(exc)

    workers = [threading.Thread(target=work, args=(n, *pv)) for n, pv in enumerate(clients)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(SECONDS + 180)
    assert not any(worker.is_alive() for worker in workers) and not failures, failures
    print("load: %d puts to VAL and %d to STOP in %g s, %d completed normally"
          % (sum(kind == "VAL" for kind, _ in answers), sum(kind == "STOP" for kind, _ in answers), SECONDS,
             sum(status == "ECA_NORMAL" for _, status in answers)))
    assert answers and all(status == "ECA_NORMAL" for _, status in answers), answers
    assert sum(kind == "VAL" for kind, _ in answers) >= 4

    assert value(dmov) == 1 and not sim.moving()
    controller = ioc.ioc.drive.submit(lambda m: m.getWavelength()).result(10)
    assert abs(value(rbv) - controller) < 1e-6
    wait_until(lambda: threading.active_count() == threads_before, 10, what="threads back to their count")
    wait_until(lambda: task_count(ioc) == tasks_before, 10, what="tasks back to their count")
