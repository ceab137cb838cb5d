"""`python -m vostelmotor_ioc` as an operator starts it, in a process of its
own on the simulated controller, stopped by a signal."""
import os
import re
import time

import pytest

from helpers.paths import BUILD, ROOT
from helpers.ioc import close, pvs, client_examples, run_client_example, start_command, stop, value, wait_until
from caproto import AccessRights


@pytest.fixture
def command(sim, epics_env, tmp_path):
    """command(*args) -> the IOC process; interrupted and waited for at the end."""
    started = []
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD, ROOT]))
    env.pop("DISPLAY", None)

    def start(*args):
        process = start_command(args, env, tmp_path / "ioc.log", tmp_path / ("break-%d" % len(started)))
        started.append(process)
        return process

    yield start
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait(10)


def test_command_serves_the_motor_and_stops_on_a_signal(command, client, tmp_path):
    process = command("--prefix", "CMD:GRATING:", "--allow-write", "operator-pc,ann@*",
                      "--description", "Ti:Sa grating")
    egu, desc, hlm, llm, rbv, val, state = pvs(client(), "CMD:GRATING:", "MOTOR.EGU", "MOTOR.DESC",
                                              "MOTOR.HLM", "MOTOR.LLM", "MOTOR.RBV", "MOTOR", "STATE")
    wait_until(lambda: value(state) == 0, 20, what="connected to the controller")
    assert (value(egu), value(desc), value(hlm), value(llm)) == ("nm", "Ti:Sa grating", 800.0, 760.0)
    assert close(value(rbv), 780.0)
    assert AccessRights.WRITE not in val.access_rights  # this host is not on the list

    stop(process)
    assert process.wait(20) == 0, (tmp_path / "ioc.log").read_text()
    assert "disconnected" in (tmp_path / "ioc.log").read_text()


@pytest.mark.parametrize("repeater_first", [False, True], ids=["no repeater", "repeater running"])
def test_console_holds_one_line_per_event_and_no_traceback(command, client, tmp_path, request, repeater_first):
    if repeater_first:
        request.getfixturevalue("ca_repeater")
    process = command("--prefix", "LOG:", "--allow-write", "*")
    val, rbv, state = pvs(client(), "LOG:", "MOTOR", "MOTOR.RBV", "STATE")
    wait_until(lambda: value(state) == 0, 20, what="connected to the controller")
    assert val.write(779.5, wait=True, timeout=60).status.name == "ECA_NORMAL"
    assert val.write(900.0, wait=True, timeout=60).status.name == "ECA_PUTFAIL"
    time.sleep(3)  # beacons go out meanwhile
    stop(process)
    assert process.wait(20) == 0, (tmp_path / "ioc.log").read_text()
    log = (tmp_path / "ioc.log").read_text()
    assert "Traceback" not in log and "Failed to send" not in log, log
    assert log.count("started one on 127.0.0.1") == (0 if repeater_first else 1), log
    assert len(re.findall(r"Move to 779.5000 nm$", log, flags=re.M)) == 1, log
    assert len(re.findall(r"Move to 779.5000 nm: arrived at 779.5", log)) == 1, log
    assert len(re.findall(r"Refused LOG:MOTOR = 900.0 .*outside|Refused LOG:MOTOR = 900.0 .*Limits", log)) == 1, log


@pytest.mark.parametrize("args", [["--allow-write", ","], ["--no-such-option"]])
def test_command_refuses_bad_arguments(command, args):
    assert command(*args).wait(20) == 2


@pytest.mark.parametrize("code", [pytest.param(c, id="ioc.md-%d" % n)
                                  for n, c in enumerate(client_examples("test_ioc_command.py"), 1)])
def test_client_examples_of_the_docs_run_against_the_ioc(code, command, client, tmp_path):
    command("--prefix", "LASER:GRATING:")
    state = pvs(client(), "LASER:GRATING:", "STATE")
    wait_until(lambda: value(state) == 0, 20, what="connected to the controller")
    run_client_example(code, tmp_path)


def test_simulated_option_drives_the_simulated_controller(command, client, tmp_path):
    process = command("--simulated", "--prefix", "SIMU:", "--allow-write", "*")
    val, rbv, state = pvs(client(), "SIMU:", "MOTOR", "MOTOR.RBV", "STATE")
    wait_until(lambda: value(state) == 0, 20, what="connected to the simulated controller")
    assert val.write(781.0, wait=True, timeout=60).status.name == "ECA_NORMAL"
    assert close(value(rbv), 781.0, 0.01)
    stop(process)
    assert process.wait(20) == 0, (tmp_path / "ioc.log").read_text()
    assert "simulated controller: " in (tmp_path / "ioc.log").read_text()


def test_main_is_callable_with_arguments(capsys):
    from vostelmotor_ioc.cli import main
    with pytest.raises(SystemExit) as stopped:
        main(["--help"])
    assert stopped.value.code == 0 and "--simulated" in capsys.readouterr().out


@pytest.fixture
def stop_handlers_restored():
    import signal
    from vostelmotor_ioc import cli
    saved = {number: signal.getsignal(number) for number in cli._stop_signals()}
    yield
    for number, handler in saved.items():
        signal.signal(number, handler)


def test_a_stop_signal_landing_in_another_task_ends_the_serving_task_cleanly(stop_handlers_restored):
    # The signal arrives while some other task of the loop runs (a PV's write,
    # the drive's updates): that task must not end with the interruption,
    # which would leave "Task exception was never retrieved" and a traceback.
    import asyncio
    import signal
    from vostelmotor_ioc import cli

    number = getattr(signal, "SIGBREAK", signal.SIGTERM)
    seen = {}

    async def serve():
        cli._end_on_signals(asyncio.current_task(), asyncio.get_running_loop())

        async def busy():
            await asyncio.sleep(0)
            signal.raise_signal(number)
            for _ in range(3):  # the handler has run by now; the task goes on
                await asyncio.sleep(0)
            return "finished"

        other = asyncio.ensure_future(busy())
        try:
            await asyncio.Event().wait()
        finally:
            seen["cleanup ran"] = True
            seen["other"] = await other

    try:
        asyncio.run(serve())
    except asyncio.CancelledError:
        pass
    except KeyboardInterrupt:
        pytest.fail("the interruption was raised in the task that happened to run")
    else:
        pytest.fail("the serving task was not cancelled")
    assert seen == {"cleanup ran": True, "other": "finished"}

    # A second signal while the first one's cleanup still runs interrupts at once.
    async def slow_cleanup():
        cli._end_on_signals(asyncio.current_task(), asyncio.get_running_loop())
        try:
            signal.raise_signal(number)
            await asyncio.sleep(5)
        finally:
            signal.raise_signal(number)

    with pytest.raises(KeyboardInterrupt):
        asyncio.run(slow_cleanup())
