"""`python -m vostelmotor_ioc` as an operator starts it, in a process of its
own on the simulated controller, stopped by a signal."""
import os
import re
import signal
import subprocess
import sys

import pytest

from helpers.paths import BUILD, ROOT
from helpers.ioc import close, pvs, value, wait_until
from caproto import AccessRights


@pytest.fixture
def command(sim, epics_env, tmp_path):
    """command(*args) -> the IOC process; interrupted and waited for at the end."""
    started = []
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD, ROOT]))
    env.pop("DISPLAY", None)

    def start(*args):
        process = subprocess.Popen([sys.executable, "-m", "vostelmotor_ioc", *args], env=env,
                                   stdout=open(tmp_path / "ioc.log", "w"), stderr=subprocess.STDOUT)
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

    process.send_signal(signal.SIGTERM)
    assert process.wait(20) == 0
    assert "disconnected" in (tmp_path / "ioc.log").read_text()


@pytest.mark.parametrize("args", [["--allow-write", ","], ["--no-such-option"]])
def test_command_refuses_bad_arguments(command, args):
    assert command(*args).wait(20) == 2


def readme_client_blocks():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return re.findall(r"^```py\n(.*?)^```", f.read(), flags=re.S | re.M)


@pytest.mark.parametrize("code", [pytest.param(c, id="README-py%d" % n)
                                  for n, c in enumerate(readme_client_blocks(), 1)])
def test_readme_client_examples_run_against_the_ioc(code, command, client, tmp_path):
    if "import time, epics" in code:
        pytest.importorskip("epics")
    command("--prefix", "LASER:GRATING:")
    state = pvs(client(), "LASER:GRATING:", "STATE")
    wait_until(lambda: value(state) == 0, 20, what="connected to the controller")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([BUILD, os.path.dirname(__file__)]))
    run = "from helpers import ioc\nioc.keep_clients_on_loopback()\n" + code
    result = subprocess.run([sys.executable, "-c", run], cwd=str(tmp_path), env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    for promised in re.findall(r"print\(.*\)\s*#\s*(\S+)$", code, flags=re.M):
        assert promised in result.stdout, (promised, result.stdout)
