"""pyepics on the IOC: `epics.Motor.move(wait=True)` and `PV.put(wait=True)`
return when the move has ended, with the grating at its target.

libca binds its UDP sockets to every interface and cannot be told
otherwise, so the pyepics client runs in a network namespace of its own
(`unshare -rn`), where the loopback is the only interface: this module runs
itself there, IOC included, and the test outside checks its result."""
import os
import shutil
import subprocess
import sys

import pytest

from helpers.ioc import close, pvs, readme_client_blocks, run_readme_example, value, wait_until

INSIDE = os.environ.get("VOSTEL_PRIVATE_NETWORK") == "1"
pytest.importorskip("epics")


def private_network_command():
    """The command that runs a program in a network namespace with only the
    loopback, or None with the reason."""
    if sys.platform == "win32":
        return None, "Windows: no network namespace to keep pyepics, which binds every interface, on the loopback"
    if not (sys.platform.startswith("linux") and shutil.which("unshare") and shutil.which("ip")):
        return None, "needs Linux with unshare and ip"
    command = ["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"]
    probe = subprocess.run(command + ["true"], capture_output=True, text=True)
    if probe.returncode != 0:
        return None, "no network namespace here: %s" % probe.stderr.strip()
    return command, None


@pytest.mark.skipif(INSIDE, reason="the outside half")
def test_pyepics_clients_in_a_private_network(tmp_path):
    command, why = private_network_command()
    if command is None:
        pytest.skip(why)
    env = dict(os.environ, VOSTEL_PRIVATE_NETWORK="1")
    result = subprocess.run(command + [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                       "-o", "addopts=", __file__],
                            cwd=os.path.dirname(__file__), env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-5000:] + result.stderr[-2000:]
    assert "2 passed" in result.stdout and "Traceback" not in result.stderr, result.stdout


@pytest.mark.skipif(not INSIDE, reason="runs inside test_pyepics_clients_in_a_private_network")
def test_motor_move_and_put_wait_for_the_move(serve, client, sim, ca_repeater):
    import epics

    ioc = serve("PYE:", wall_speed=2.0)
    state, rbv = pvs(client(), ioc.prefix, "STATE", "MOTOR.RBV")
    wait_until(lambda: value(state) == 0 and close(value(rbv), 780.0), 30, what="connected")

    motor = epics.Motor(ioc.prefix + "MOTOR")
    tolerance = motor.get("RDBD")
    assert 0 < tolerance < 0.05
    for target in (776.0, 784.5):
        assert motor.move(target, wait=True) == 0  # "move-with-wait finished OK"
        assert motor.get("DMOV") == 1 and abs(motor.get("RBV") - target) <= tolerance
        assert not sim.moving()

    setpoint = epics.PV(ioc.prefix + "MOTOR")
    assert setpoint.put(781.0, wait=True, timeout=60) == 1
    assert motor.get("DMOV") == 1 and abs(motor.get("RBV") - 781.0) <= tolerance

    # A limit switch on the way: the put completes with the switch showing.
    sim.set_limit_switches(-45000, 10000)  # at about 775 nm
    assert motor.move(765.0, wait=True) == -3  # "hard limit violation seen"
    assert motor.get("MISS") == 1 and motor.get("LLS") == 1 and motor.get("DMOV") == 1
    assert not sim.moving()


@pytest.mark.skipif(not INSIDE, reason="runs inside test_pyepics_clients_in_a_private_network")
def test_readme_pyepics_example(serve, client, tmp_path, ca_repeater):
    ioc = serve("LASER:GRATING:", wall_speed=2.0)
    state = pvs(client(), ioc.prefix, "STATE")
    wait_until(lambda: value(state) == 0, 30, what="connected")
    examples = [code for code in readme_client_blocks() if "import epics" in code]
    assert examples
    for code in examples:
        run_readme_example(code, tmp_path)
