"""The motor on PVAccess: the motor record's names as normative types, puts
that wait for the move or not, refusals answered at once, one drive shared
with Channel Access, and the `vostelmotor ioc --pva` command."""
import os
import threading
import time

import pytest

from helpers.ioc import close, pvs, value, wait_until

pytest.importorskip("p4p")
from p4p.client.thread import RemoteError  # noqa: E402

# What ophyd-async's Motor and ophyd's EpicsMotor connect to, and the PVs beside the record.
RECORD_FIELDS = ("VAL", "RBV", "DMOV", "MOVN", "STOP", "VELO", "ACCL", "VMAX", "HLM", "LLM", "DHLM", "DLLM",
                 "HLS", "LLS", "EGU", "PREC", "RDBD", "MISS", "SET", "FOFF", "OFF", "TWV", "TWF", "TWR", "MRES",
                 "SREV", "UREV", "ERES", "OUT", "LVIO", "DESC")
BESIDE = ("HIGH_PRECISION", "TRIGGER", "TRIGGER_WIDTH", "CURRENT", "CALIBRATE", "STATE", "MESSAGE")


@pytest.fixture
def served(serve_faces):
    faces = serve_faces("PVA:", wall_speed=2.0)
    ctx = faces.pva_context()
    wait_until(lambda: ctx.get("PVA:STATE").raw["value.index"] == 0, 30, what="connected")
    yield faces, ctx
    ctx.close()


def get(ctx, name):
    return ctx.get(name, timeout=10)


def test_names_types_and_metadata(served):
    faces, ctx = served
    for field in RECORD_FIELDS:
        get(ctx, "PVA:MOTOR." + field)
    for name in BESIDE:
        get(ctx, "PVA:" + name)
    val = get(ctx, "PVA:MOTOR").raw
    assert val.getID() == "epics:nt/NTScalar:1.0"
    assert val["display.units"] == "nm" and val["display.precision"] == 4
    assert (val["control.limitLow"], val["control.limitHigh"]) == (760.0, 800.0)
    assert val["alarm.severity"] == 0 and val["timeStamp.secondsPastEpoch"] > 0
    assert (get(ctx, "PVA:MOTOR.HLM"), get(ctx, "PVA:MOTOR.LLM")) == (800.0, 760.0)
    assert get(ctx, "PVA:MOTOR.EGU") == "nm" and get(ctx, "PVA:MOTOR.DMOV") == 1
    assert 0 < get(ctx, "PVA:MOTOR.RDBD") < 0.1 and get(ctx, "PVA:MOTOR.VMAX") > 0
    assert close(get(ctx, "PVA:MOTOR.RBV"), 780.0)
    state = get(ctx, "PVA:STATE").raw
    assert state.getID() == "epics:nt/NTEnum:1.0" and state["value.choices"][0] == "Idle"
    assert list(get(ctx, "PVA:MOTOR.SET").raw["value.choices"]) == ["Use", "Set"]


def test_puts_wait_for_the_move_or_return_at_once(served, sim):
    faces, ctx = served
    tolerance = get(ctx, "PVA:MOTOR.RDBD")
    # A put asking to wait is answered at the end of the move.
    ctx.put("PVA:MOTOR.VAL", 782.0, wait=True, timeout=60)
    assert get(ctx, "PVA:MOTOR.DMOV") == 1 and not sim.moving()
    assert abs(get(ctx, "PVA:MOTOR.RBV") - 782.0) <= tolerance and get(ctx, "PVA:MOTOR.MISS") == 0

    # One not asking is answered while the grating still moves.
    ctx.put("PVA:MOTOR", 772.0, wait=False, timeout=10)
    assert get(ctx, "PVA:MOTOR.DMOV") == 0 and get(ctx, "PVA:MOTOR.VAL") == 772.0
    wait_until(lambda: get(ctx, "PVA:MOTOR.DMOV") == 1, 60, what="the move's end")
    assert abs(get(ctx, "PVA:MOTOR.RBV") - 772.0) <= tolerance

    # A waiting put whose move is stopped by another client ends with an error.
    errors = []

    def long_move():
        try:
            faces.pva_context().put("PVA:MOTOR.VAL", 795.0, wait=True, timeout=60)
        except RemoteError as exc:
            errors.append(str(exc))
    mover = threading.Thread(target=long_move)
    mover.start()
    wait_until(lambda: get(ctx, "PVA:MOTOR.MOVN") == 1, 20, what="moving")
    ctx.put("PVA:MOTOR.STOP", 1, wait=True, timeout=10)
    mover.join(60)
    assert not mover.is_alive() and len(errors) == 1 and "stopped" in errors[0], errors
    assert get(ctx, "PVA:MOTOR.MISS") == 1 and get(ctx, "PVA:MOTOR.DMOV") == 1
    assert get(ctx, "PVA:MOTOR.RBV") < 794.0 and not sim.moving()


@pytest.mark.parametrize("name, data, reason", [
    ("PVA:MOTOR.VAL", 900.0, "outside the calibrated range"),
    ("PVA:MOTOR", float("nan"), "outside the calibrated range"),
    ("PVA:MOTOR.RBV", 781.0, "read-only"),
    ("PVA:MOTOR.HLM", 900.0, "read-only"),
    ("PVA:MOTOR.VELO", -1.0, "positive speed"),
    ("PVA:MOTOR.FOFF", "Variable", "frozen"),
    ("PVA:TRIGGER_WIDTH", 0.0, "positive width"),
])
def test_refused_puts_answer_with_an_error_at_once(served, sim, name, data, reason):
    faces, ctx = served
    sim.clear_trace()
    start = time.monotonic()
    with pytest.raises(RemoteError, match=reason):
        ctx.put(name, data, wait=True, timeout=30)
    assert time.monotonic() - start < 5
    assert sim.command_count("VCS_MoveToPosition") == 0 and get(ctx, "PVA:MOTOR.DMOV") == 1
    if name.startswith("PVA:MOTOR") and "range" in reason:
        assert get(ctx, "PVA:MOTOR.LVIO") == 1


def test_one_drive_behind_both_protocols(served, client, sim):
    faces, ctx = served
    val, dmov, rbv, hp, trigger = pvs(client(), "PVA:", "MOTOR", "MOTOR.DMOV", "MOTOR.RBV", "HIGH_PRECISION",
                                      "TRIGGER")
    # A move asked for on PVA is seen on CA, and the other way round.
    ctx.put("PVA:MOTOR", 785.0, wait=False)
    wait_until(lambda: value(dmov) == 0, 10, what="CA's DMOV at 0")
    assert close(value(val), 785.0)
    wait_until(lambda: value(dmov) == 1, 60, what="CA's DMOV back at 1")
    assert close(value(rbv), get(ctx, "PVA:MOTOR.RBV"), 1e-6)
    assert val.write(781.0, wait=True, timeout=60).status.name == "ECA_NORMAL"
    wait_until(lambda: close(get(ctx, "PVA:MOTOR.RBV"), value(rbv), 1e-6), 10, what="same readback")
    assert get(ctx, "PVA:MOTOR.VAL") == 781.0

    # Settings are the drive's, whichever protocol wrote them; the next move takes them.
    ctx.put("PVA:HIGH_PRECISION", "On")
    wait_until(lambda: value(hp) == 1, 10, what="CA's HIGH_PRECISION on")
    assert hp.write(0, wait=True, timeout=10).status.name == "ECA_NORMAL"
    wait_until(lambda: get(ctx, "PVA:HIGH_PRECISION").raw["value.index"] == 0, 10, what="PVA's off")
    assert trigger.write(2, wait=True, timeout=10).status.name == "ECA_NORMAL"
    wait_until(lambda: get(ctx, "PVA:TRIGGER").raw["value.index"] == 2, 10, what="PVA's trigger")
    assert faces.shared.values["trigger"] == 2 and faces.shared.values["high_precision"] is False


def test_set_mode_calibrates_without_a_move(served, sim):
    faces, ctx = served
    sim.clear_trace()
    ctx.put("PVA:MOTOR.SET", "Set")
    ctx.put("PVA:MOTOR.VAL", 790.0, wait=True, timeout=30)
    ctx.put("PVA:MOTOR.SET", "Use")
    wait_until(lambda: close(get(ctx, "PVA:MOTOR.RBV"), 790.0), 10, what="calibrated readback")
    assert sim.command_count("VCS_MoveToPosition") == 0
    ctx.put("PVA:MOTOR.TWV", 0.5)
    ctx.put("PVA:MOTOR.TWR", 1, wait=True, timeout=30)
    assert abs(get(ctx, "PVA:MOTOR.RBV") - 789.5) <= get(ctx, "PVA:MOTOR.RDBD")


def test_ophyd_async_motor_over_pva(served, monkeypatch, sim):
    pytest.importorskip("ophyd_async")
    import asyncio

    from ophyd_async.core import init_devices
    from ophyd_async.epics import motor as epics_motor
    from ophyd_async.epics.core import _p4p

    faces, ctx = served

    async def scenario():
        monkeypatch.setattr(_p4p, "_context", faces.pva_context("asyncio"))  # ophyd-async's client, for this server
        async with init_devices():
            grating = epics_motor.Motor("pva://PVA:MOTOR", name="grating")
        tolerance = await grating.deadband.get_value()
        await grating.set(783.0)
        assert abs(await grating.user_readback.get_value() - 783.0) <= tolerance
        with pytest.raises(epics_motor.MotorLimitsError):
            await grating.set(850.0)
        status = grating.set(770.0)
        await asyncio.sleep(0.3)
        await grating.stop(success=False)
        with pytest.raises(Exception, match="stopped"):
            await status
        await asyncio.get_running_loop().run_in_executor(
            None, lambda: wait_until(lambda: not sim.moving(), 10, what="the grating standing"))
        assert 770.5 < await grating.user_readback.get_value() < 782.5
        assert (await grating.motor_egu.get_value()) == "nm"
        _p4p._context.close()
    asyncio.run(scenario())


def test_command_serves_pvaccess_and_stops_on_a_signal(sim, tmp_path):
    from helpers.ioc import free_port, start_command, stop
    from helpers.paths import BUILD, ROOT
    from p4p.client.thread import Context
    port = free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD, ROOT]))
    env.pop("DISPLAY", None)
    log = tmp_path / "ioc.log"
    process = start_command(["--prefix", "LASER:GRATING:", "--pva", "--pva-port", str(port), "--simulated"],
                            env, log, tmp_path / "break")
    try:
        conf = {"EPICS_PVA_NAME_SERVERS": "127.0.0.1:%d" % port, "EPICS_PVA_AUTO_ADDR_LIST": "NO",
                "EPICS_PVA_ADDR_LIST": ""}
        with Context("pva", conf=conf, useenv=False) as ctx:
            wait_until(lambda: _state(ctx) == 0, 30, what="connected")
            ctx.put("LASER:GRATING:MOTOR", 779.0, wait=True, timeout=60)
            assert abs(ctx.get("LASER:GRATING:MOTOR.RBV") - 779.0) < 0.01
        # The how-to's example, as a client finds the server: through its environment.
        from helpers.faces import run_docs_example
        client_env = dict(env, EPICS_PVA_NAME_SERVERS="127.0.0.1:%d" % port, EPICS_PVA_AUTO_ADDR_LIST="NO",
                          EPICS_PVA_ADDR_LIST="")
        run_docs_example("howto/pvaccess.md", "test_pva.py", client_env)
        stop(process)
        assert process.wait(20) == 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
    text = log.read_text()
    assert "PVAccess on 127.0.0.1:%d" % port in text and "Channel Access" not in text, text
    assert "Refused" not in text
    assert "Traceback" not in text


def _state(ctx):
    try:
        return ctx.get("LASER:GRATING:STATE", timeout=2).raw["value.index"]
    except Exception:
        return None


def test_free_ports_keep_clear_of_servers_that_asked_for_any_port(monkeypatch):
    """A test's CA server binds its port and the next with SO_REUSEADDR; a PVA
    server of another test process that asked for any port got its search
    port from the system. Had the two met, the CA server would take the PVA
    server's searches and its clients would never find it."""
    import random
    import socket
    from helpers import ioc
    start = ioc._ephemeral_start()
    assert all(ioc.free_port() + 1 < start for _ in range(200))
    below = ioc.free_port()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", below + 1))
        draws, randint = iter([below]), random.randint
        monkeypatch.setattr(random, "randint", lambda low, high: next(draws, None) or randint(low, high))
        assert ioc.free_port() != below  # its next port is taken
