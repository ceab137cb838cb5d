"""What the EPICS IOC adds to a move, on the simulated controller (wall clock):

  overhead: a put with completion to the record, from the put until its
            completion, against the same move called directly on a motor
            object (moveToWavelength), the mean over the moves;
  RBV rate: monitor updates of RBV a client receives per second of a long move.

The IOC runs as an operator starts it (python -m vostelmotor_ioc), in a process
of its own; Channel Access stays on 127.0.0.1 with ports of its own.

    bash scripts/bench.sh
"""
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

from helpers import paths  # noqa: E402,F401 (the build and the checkout on sys.path)
from helpers import ioc as loopback  # noqa: E402
import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402

TARGETS = [779.0, 781.0] * 10  # short moves, where the IOC's share shows most
LONG_MOVE = (770.0, 790.0)


def direct(sim):
    m = vostelmotor.motor()
    assert m.connect()
    seconds = []
    for target in TARGETS:
        start = time.perf_counter()
        m.moveToWavelength(target)
        seconds.append(time.perf_counter() - start)
    m.disconnect()
    return seconds


def through_ioc(sim, env):
    process = subprocess.Popen([sys.executable, "-m", "vostelmotor_ioc", "--prefix", "BENCH:", "-q"],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        ctx = loopback.Context()
        state, val, rbv, dmov = loopback.pvs(ctx, "BENCH:", "STATE", "MOTOR", "MOTOR.RBV", "MOTOR.DMOV")
        loopback.wait_until(lambda: loopback.value(state) == 0, 60, what="IOC connected")
        seconds = []
        for target in TARGETS:
            start = time.perf_counter()
            assert val.write(target, wait=True, timeout=60).status.name == "ECA_NORMAL"
            seconds.append(time.perf_counter() - start)
            assert loopback.value(dmov) == 1

        val.write(LONG_MOVE[0], wait=True, timeout=120)
        updates = []
        sub = rbv.subscribe(data_type="time")
        def on_update(sub, response):  # caproto keeps only a weak reference to it
            updates.append(time.monotonic())
        sub.add_callback(on_update)
        time.sleep(0.5)
        start = time.monotonic()
        val.write(LONG_MOVE[1], wait=True, timeout=120)
        moving = [t for t in updates if t >= start]
        rate = (len(moving) - 1) / (moving[-1] - moving[0]) if len(moving) > 1 else 0.0
        sub.clear()
        ctx.disconnect()
        return seconds, rate, moving[-1] - moving[0] if moving else 0.0
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(30)


def main():
    if not os.environ.get("VOSTEL_SIM_STATE"):  # scripts/bench.sh gives one of its own
        os.environ["VOSTEL_SIM_STATE"] = os.path.join(tempfile.mkdtemp(), "state.txt")
    env = loopback.loopback_environment(loopback.free_port())
    os.environ.update(env)
    loopback.keep_clients_on_loopback()
    sim = SimulatedController.fresh(paths.SIM_LIBRARY, os.environ["VOSTEL_SIM_STATE"])
    sim.use_wall_clock(1.0)
    vostelmotor.print = lambda *args, **kwargs: None  # the "arrived at" lines
    plain = direct(sim)
    child_env = dict(os.environ, PYTHONPATH=os.pathsep.join([paths.BUILD, ROOT]))
    served, rate, seconds_moving = through_ioc(sim, child_env)
    overhead_ms = (statistics.mean(served) - statistics.mean(plain)) * 1000
    print("IOC, CPython %d.%d, %d moves of 2 nm on the simulated controller (wall clock):"
          % (sys.version_info[:2] + (len(TARGETS),)))
    print("  move called directly      %8.1f ms (mean)" % (statistics.mean(plain) * 1000))
    print("  put until its completion  %8.1f ms (mean)" % (statistics.mean(served) * 1000))
    print("  overhead of the IOC       %8.1f ms per move (at most 25 ms wanted)" % overhead_ms)
    print("  RBV while moving          %8.1f updates/s over %.1f s (at least 10 wanted)" % (rate, seconds_moving))


if __name__ == "__main__":
    main()
