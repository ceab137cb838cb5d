"""A put with completion to the record completes when the move it started has
ended, however it ended; STOP is served while puts wait; the record's fields
mean what they mean; a field the IOC cannot honour refuses the write. Driven
by caproto's threading client on the simulated controller."""
import logging
import math
import threading

import pytest

from helpers.ioc import close, put, pvs, severity, value, wait_until

IDLE, DISCONNECTED = 0, 5
INVALID = 3


class Waiting:
    """A put with completion running on a thread of its own."""

    def __init__(self, pv, data):
        self.status = None
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._put, args=(pv, data), daemon=True)
        self.thread.start()

    def _put(self, pv, data):
        self.status = put(pv, data, timeout=120)
        self.done.set()

    def result(self, timeout=60):
        assert self.done.wait(timeout), "put not completed"
        return self.status


def connected(ioc, client, *names):
    found = pvs(client(), ioc.prefix, "STATE", "MOTOR.RBV", *names)
    wait_until(lambda: value(found[0]) == IDLE and close(value(found[1]), 780.0), 30, what="connected at 780 nm")
    return found[2:]


@pytest.mark.parametrize("field, data, target", [
    ("MOTOR", 776.0, 776.0),
    ("MOTOR.VAL", 784.5, 784.5),
    ("MOTOR.RLV", -1.5, 778.5),
    ("MOTOR.TWF", 1, 780.5),
    ("MOTOR.TWR", 1, 779.5),
])
def test_a_put_completes_once_the_grating_stands_at_its_target(serve, client, sim, field, data, target):
    ioc = serve("DONE:", wall_speed=2.0)
    pv, twv, rbv, dmov, movn, miss, rdbd = connected(ioc, client, field, "MOTOR.TWV", "MOTOR.RBV", "MOTOR.DMOV",
                                                     "MOTOR.MOVN", "MOTOR.MISS", "MOTOR.RDBD")
    assert put(twv, 0.5) == "ECA_NORMAL"
    assert put(pv, data) == "ECA_NORMAL"
    # Read right after the completion, nothing waited for.
    assert (value(dmov), value(movn), value(miss)) == (1, 0, 0)
    tolerance = value(rdbd)
    assert 0 < tolerance < 0.05  # the module's landing tolerance in nm
    assert abs(value(rbv) - target) <= tolerance
    assert not sim.moving()
    assert sim.command_count("VCS_MoveToPosition") >= 1


def test_on_a_slow_link_the_answer_still_follows_the_monitors_of_the_move(serve, client, sim, monkeypatch):
    """caproto sends a put's answer at once and its monitors later, through
    queues and a batch: the answer must wait for DMOV = 1 to have gone."""
    import asyncio

    import caproto
    from vostelmotor_ioc import server

    sent = []
    send = server._MonitorTrackingCircuit.send

    async def slow_monitors(circuit, *commands):
        if any(isinstance(command, caproto.EventAddResponse) for command in commands):
            await asyncio.sleep(0.2)
        sent.extend(commands)
        return await send(circuit, *commands)

    monkeypatch.setattr(server._MonitorTrackingCircuit, "send", slow_monitors)
    ioc = serve("SLOW:", wall_speed=2.0)
    pv, dmov = connected(ioc, client, "MOTOR", "MOTOR.DMOV")
    subscription = dmov.subscribe()

    def monitored(sub, response):
        pass

    subscription.add_callback(monitored)  # caproto keeps callbacks by weak reference
    wait_until(lambda: any(isinstance(c, caproto.EventAddResponse) and c.subscriptionid == subscription.subscriptionid
                           for c in sent), 30, what="the first DMOV monitor")
    assert put(pv, 776.0) == "ECA_NORMAL"

    answer = next(i for i, c in enumerate(sent) if isinstance(c, caproto.WriteNotifyResponse))
    dmov_events = [(i, c.data[0]) for i, c in enumerate(sent)
                   if isinstance(c, caproto.EventAddResponse) and c.subscriptionid == subscription.subscriptionid]
    started = next(i for i, done in dmov_events if done == 0)
    ended = [i for i, done in dmov_events if done == 1 and i > started]
    assert ended and ended[0] < answer, (dmov_events, answer)


def test_stop_and_a_newer_setpoint_end_waiting_puts(serve, client, sim):
    ioc = serve("WAIT:")
    val, stop, velo, rbv, dmov, message = connected(ioc, client, "MOTOR", "MOTOR.STOP", "MOTOR.VELO", "MOTOR.RBV",
                                                    "MOTOR.DMOV", "MESSAGE")
    put(velo, 2.0)
    # STOP from the very client whose put waits.
    waiting = Waiting(val, 770.0)
    wait_until(lambda: value(rbv) < 779.0, 20, what="under way")
    assert not waiting.done.is_set()
    assert put(stop, 1) == "ECA_NORMAL"
    assert waiting.result() == "ECA_NORMAL"
    assert value(dmov) == 1 and not sim.moving()
    assert "stopped at" in value(message)

    # A newer setpoint: the first put completes no later than the second.
    first = Waiting(val, 790.0)
    wait_until(lambda: value(dmov) == 0, 10, what="first move started")
    second = Waiting(pvs(client(), ioc.prefix, "MOTOR"), 781.0)
    assert first.result() == "ECA_NORMAL"
    assert second.result() == "ECA_NORMAL" and value(dmov) == 1
    assert close(value(rbv), 781.0, 0.01) and close(value(val), 781.0)


@pytest.mark.parametrize("field, data", [
    ("MOTOR", 759.0),           # outside the calibrated range
    ("MOTOR", math.nan),
    ("MOTOR.RLV", 30.0),        # leads outside the range
    ("MOTOR.FOFF", 0),          # Variable: the offset stays 0
    ("MOTOR.VELO", -1.0),
    ("MOTOR.TWV", 0.0),
    ("MOTOR.HLM", 790.0),       # read-only: the calibrated range
    ("MOTOR.RDBD", 0.5),        # read-only: the module's own tolerance
    ("MOTOR.CNEN", 0),          # read-only: nothing to honour it with
    ("MOTOR.OFF", 1.0),
    ("MOTOR.PREC", 2),
])
def test_refused_writes_fail_at_once_with_one_log_line(serve, client, sim, caplog, field, data):
    ioc = serve("REFUSE:")
    pv, dmov, lvio = connected(ioc, client, field, "MOTOR.DMOV", "MOTOR.LVIO")
    sim.clear_trace()
    caplog.clear()
    with caplog.at_level(logging.INFO):
        assert put(pv, data) == "ECA_PUTFAIL"
    refused = [r for r in caplog.records if r.getMessage().startswith("Refused")]
    assert len(refused) == 1 and refused[0].exc_info is None, caplog.text
    assert ioc.prefix + field in refused[0].getMessage()
    assert "Traceback" not in caplog.text
    assert value(dmov) == 1 and value(lvio) == (1 if field in ("MOTOR", "MOTOR.RLV") else 0)
    assert sim.command_count("VCS_MoveToPosition") == 0


def test_set_mode_declares_the_present_position(serve, client, sim):
    ioc = serve("SET:")
    val, set_use, sset, suse, rbv, foff = connected(ioc, client, "MOTOR", "MOTOR.SET", "MOTOR.SSET", "MOTOR.SUSE",
                                                    "MOTOR.RBV", "MOTOR.FOFF")
    assert value(foff) == 1  # Frozen
    sim.clear_trace()
    assert put(set_use, 1) == "ECA_NORMAL"
    assert put(val, 790.0) == "ECA_NORMAL"
    assert close(value(rbv), 790.0) and close(value(val), 790.0)
    assert sim.command_count("VCS_MoveToPosition") == 0
    assert put(suse, 1) == "ECA_NORMAL" and value(set_use) == 0
    assert put(val, 788.0) == "ECA_NORMAL"
    assert close(value(rbv), 788.0, 0.01) and sim.command_count("VCS_MoveToPosition") >= 1
    assert put(sset, 1) == "ECA_NORMAL" and value(set_use) == 1


def test_fields_the_record_shows(serve, client, sim):
    ioc = serve("FIELDS:")
    egu, prec, vmax, vbas, hlm, llm, rtyp = connected(ioc, client, "MOTOR.EGU", "MOTOR.PREC", "MOTOR.VMAX",
                                                      "MOTOR.VBAS", "MOTOR.HLM", "MOTOR.LLM", "MOTOR.RTYP")
    assert (value(egu), value(prec), value(rtyp)) == ("nm", 4, "motor")
    assert (value(llm), value(hlm)) == (760.0, 800.0)
    assert value(vbas) == 0 and value(vmax) > 1.0


def test_controller_lost_and_back(serve, client, sim):
    ioc = serve("LOST:")
    val, velo, rbv, dmov, miss, state, message = connected(ioc, client, "MOTOR", "MOTOR.VELO", "MOTOR.RBV",
                                                           "MOTOR.DMOV", "MOTOR.MISS", "STATE", "MESSAGE")
    put(velo, 2.0)
    waiting = Waiting(val, 790.0)
    wait_until(lambda: value(rbv) > 781.0, 20, what="under way")
    sim.set_plugged(False)
    assert waiting.result() == "ECA_NORMAL"
    assert value(state) == DISCONNECTED and severity(rbv) == INVALID and severity(val) == INVALID
    assert value(miss) == 1 and value(dmov) == 1
    assert "failed" in value(message)
    assert put(val, 785.0) == "ECA_PUTFAIL"  # refused while the controller is away

    sim.set_plugged(True)
    wait_until(lambda: value(state) == IDLE, 30, what="connected again")
    assert severity(rbv) == 0 and severity(val) == 0
    assert put(val, 785.0) == "ECA_NORMAL"
    assert value(miss) == 0 and close(value(rbv), 785.0, 0.01)
