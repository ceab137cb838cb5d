"""What each face adds to a move, on the simulated controller (wall clock):

  overhead: from the client's request until it learns the move has ended,
            against the same move called directly on a motor object
            (moveToWavelength), the mean over the moves. Channel Access and
            PVAccess: a put that waits for completion. Tango: a write to
            Position, then State's change event back to ON;
  readback rate: updates of the readback a client receives per second of a
            long move (RBV monitors; Tango: Position change events).

The servers run as an operator starts them (python -m vostelmotor_ioc, which
serves CA and PVA from one process; vostelmotor tango --nodb), each in a
process of its own, on 127.0.0.1 with ports of their own.

    bash scripts/bench.sh
"""
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

from helpers import paths  # noqa: E402,F401 (the build and the checkout on sys.path)
from helpers import ioc as loopback  # noqa: E402
import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402

TARGETS = [779.0, 781.0] * 10  # short moves, where the IOC's share shows most
# Every series starts from here, untimed, so that its first move is as long as
# the others whichever series ran before it.
START = TARGETS[-1]
LONG_MOVE = (770.0, 790.0)


def direct(sim):
    m = vostelmotor.motor()
    assert m.connect()
    m.moveToWavelength(START)
    seconds = []
    for target in TARGETS:
        start = time.perf_counter()
        m.moveToWavelength(target)
        seconds.append(time.perf_counter() - start)
    m.disconnect()
    return seconds


def through_ioc(sim, env, pva_port):
    faces = ["--pva-port", str(pva_port)] if pva_port else ["--ca"]
    process = subprocess.Popen([sys.executable, "-m", "vostelmotor_ioc", "--prefix", "BENCH:", "-q", *faces],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        ctx = loopback.Context()
        state, val, rbv, dmov = loopback.pvs(ctx, "BENCH:", "STATE", "MOTOR", "MOTOR.RBV", "MOTOR.DMOV")
        loopback.wait_until(lambda: loopback.value(state) == 0, 60, what="IOC connected")
        val.write(START, wait=True, timeout=60)
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
        figures = {"Channel Access": (seconds, rate, moving[-1] - moving[0] if moving else 0.0)}
        if pva_port:
            figures["PVAccess"] = through_pva(pva_port)
        return figures
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(30)


def rate_of(updates, start):
    moving = [t for t in updates if t >= start]
    if len(moving) < 2:
        return 0.0, 0.0
    return (len(moving) - 1) / (moving[-1] - moving[0]), moving[-1] - moving[0]


def through_pva(port):
    from p4p.client.thread import Context
    conf = {"EPICS_PVA_NAME_SERVERS": "127.0.0.1:%d" % port, "EPICS_PVA_AUTO_ADDR_LIST": "NO",
            "EPICS_PVA_ADDR_LIST": ""}
    with Context("pva", conf=conf, useenv=False) as ctx:
        ctx.put("BENCH:MOTOR.VAL", START, wait=True, timeout=60)
        seconds = []
        for target in TARGETS:
            start = time.perf_counter()
            ctx.put("BENCH:MOTOR.VAL", target, wait=True, timeout=60)
            seconds.append(time.perf_counter() - start)
            assert ctx.get("BENCH:MOTOR.DMOV") == 1
        ctx.put("BENCH:MOTOR.VAL", LONG_MOVE[0], wait=True, timeout=120)
        updates = []
        sub = ctx.monitor("BENCH:MOTOR.RBV", lambda value: updates.append(time.monotonic()))
        time.sleep(0.5)
        start = time.monotonic()
        ctx.put("BENCH:MOTOR.VAL", LONG_MOVE[1], wait=True, timeout=120)
        sub.close()
        return (seconds,) + rate_of(updates, start)


def through_tango(env, port):
    import tango
    process = subprocess.Popen([sys.executable, "-m", "vostelmotor_lab", "tango", "--nodb", "--port", str(port)],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        address = "tango://127.0.0.1:%d/laser/grating/1#dbase=no" % port
        deadline = time.monotonic() + 60
        while True:
            try:
                proxy = tango.DeviceProxy(address)
                if proxy.State() == tango.DevState.ON:
                    break
            except (tango.DevFailed, AttributeError):  # not serving yet
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("the Tango device did not come up")
            time.sleep(0.1)
        standing = threading.Event()
        seen_moving = threading.Event()

        def on_state(event):  # the end of this move: ON after MOVING
            if event.err:
                return
            if event.attr_value.value == tango.DevState.MOVING:
                seen_moving.set()
            elif event.attr_value.value == tango.DevState.ON and seen_moving.is_set():
                standing.set()
        proxy.Position = START
        while proxy.State() == tango.DevState.MOVING:
            time.sleep(0.05)
        state_events = proxy.subscribe_event("State", tango.EventType.CHANGE_EVENT, on_state)
        seconds = []
        for target in TARGETS:
            start = time.perf_counter()
            standing.clear()
            seen_moving.clear()
            proxy.Position = target
            assert standing.wait(60), "no State event back to ON"
            seconds.append(time.perf_counter() - start)
        proxy.unsubscribe_event(state_events)
        proxy.Position = LONG_MOVE[0]
        while proxy.State() == tango.DevState.MOVING:
            time.sleep(0.05)
        updates = []
        position_events = proxy.subscribe_event(
            "Position", tango.EventType.CHANGE_EVENT, lambda event: updates.append(time.monotonic()))
        time.sleep(0.5)
        start = time.monotonic()
        proxy.Position = LONG_MOVE[1]
        time.sleep(0.1)
        while proxy.State() == tango.DevState.MOVING:
            time.sleep(0.05)
        proxy.unsubscribe_event(position_events)
        return (seconds,) + rate_of(updates, start)
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)


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
    try:
        import p4p  # noqa: F401
        pva_port = loopback.free_port()
    except ImportError:
        pva_port = None
        print("PVAccess benchmark skipped: p4p is not installed")
    figures = through_ioc(sim, child_env, pva_port)
    try:
        import tango  # noqa: F401
    except ImportError:
        print("Tango benchmark skipped: pytango is not installed")
    else:
        figures["Tango"] = through_tango(child_env, loopback.free_port())
    print("Faces, CPython %d.%d, %d moves of 2 nm on the simulated controller (wall clock):"
          % (sys.version_info[:2] + (len(TARGETS),)))
    print("  move called directly      %8.1f ms (mean)" % (statistics.mean(plain) * 1000))
    for face, (served, rate, seconds_moving) in figures.items():
        overhead_ms = (statistics.mean(served) - statistics.mean(plain)) * 1000
        print("  %s:" % face)
        print("    request until its end   %8.1f ms (mean)" % (statistics.mean(served) * 1000))
        print("    added by the face       %8.1f ms per move (at most 25 ms wanted)" % overhead_ms)
        print("    readback while moving   %8.1f updates/s over %.1f s (at least 10 wanted)"
              % (rate, seconds_moving))


if __name__ == "__main__":
    main()
