"""Fixtures: a recording fake of the controller's command library and a motor
wired to it, the simulated controller on a private state file, a virtual
display, and the IOC with its Channel Access clients on the loopback. What they
are built from lives in the helpers package."""
import logging
import os
import socket
import subprocess
import sys
import time

import pytest

from helpers import paths
from helpers.display import free_windows, virtual_display
from helpers.library import FakeLibrary, make_motor
from helpers import companions

import vostelmotor  # noqa: E402 (found through the helpers' sys.path set-up)
from simcontrol import SimulatedController  # noqa: E402


@pytest.fixture
def lib():
    return FakeLibrary()


@pytest.fixture
def m(lib):
    return make_motor(lib)


@pytest.fixture
def sim(tmp_path, monkeypatch):
    """The simulated controller beside the built module, reset to its factory
    state with a state file of its own, on the virtual clock."""
    if not os.path.exists(paths.SIM_LIBRARY):
        pytest.skip("simulated controller not built")
    state = str(tmp_path / "sim_state.txt")
    monkeypatch.setenv("VOSTEL_SIM_STATE", state)  # seen by child processes too
    controller = SimulatedController.fresh(paths.SIM_LIBRARY, state)
    yield controller
    controller.reset(forget_stored=True)


@pytest.fixture
def virtual_sleep(sim, monkeypatch):
    """Waiting in the module advances the simulator's virtual clock instead."""
    monkeypatch.setattr(vostelmotor, "sleep", sim.advance)
    return sim


@pytest.fixture
def sim_motor(sim):
    """A motor that loaded the simulated controller from the module folder."""
    return vostelmotor.motor()


@pytest.fixture
def connected_sim_motor(sim, sim_motor, virtual_sleep):
    """`sim_motor` connected, waiting on the virtual clock."""
    assert sim_motor.connect() is True
    return sim_motor


@pytest.fixture
def display(monkeypatch):
    """A 1920 x 1080 virtual display (Xvfb) as DISPLAY. The windows of a test
    that uses it are freed on the main thread when the test has ended (see
    pytest_runtest_protocol below)."""
    name, why = virtual_display()
    if name is None:
        pytest.skip(why)
    monkeypatch.setenv("DISPLAY", name)
    return name


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    # After the whole protocol: fixtures torn down, monkeypatches undone and
    # the test's arguments released, so that only cycles keep its windows.
    yield
    if "display" in getattr(item, "fixturenames", ()):
        free_windows()


def pytest_configure(config):
    config.addinivalue_line("markers", companions.MARKER)


def pytest_collection_modifyitems(config, items):
    companions.mark(items)


@pytest.fixture
def epics_env(monkeypatch):
    """Channel Access on 127.0.0.1 with a port of this test's own."""
    from helpers import ioc  # skips the test without caproto
    env = ioc.loopback_environment(ioc.free_port())
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    ioc.keep_clients_on_loopback(monkeypatch.setattr)
    return env


@pytest.fixture
def quiet_caproto():
    """Only warnings from caproto's loggers (no beacon tracebacks in the output)."""
    loggers = [logging.getLogger(name) for name in ("caproto", "caproto.ctx", "caproto.ioc", "caproto.bcast.beacon")]
    levels = [lg.level for lg in loggers]
    for lg in loggers:
        lg.setLevel(logging.CRITICAL)
    yield
    for lg, level in zip(loggers, levels):
        lg.setLevel(level)


@pytest.fixture
def serve(sim, epics_env, quiet_caproto, monkeypatch):
    """serve(prefix, wall_speed=1.0, **options) -> a running IOC on the
    simulated controller (wall clock, sped up by wall_speed); stopped at the
    end of the test."""
    from helpers import ioc
    monkeypatch.delenv("DISPLAY", raising=False)  # nothing may need a screen
    started = []

    def start(prefix="TEST:GRATING:", wall_speed=1.0, **options):
        sim.use_wall_clock(wall_speed)
        served = ioc.ServedIoc(prefix, **options)
        started.append(served)
        return served

    yield start
    for served in started:
        served.stop()


@pytest.fixture
def client(epics_env):
    """client(host_name=None) -> a caproto Context; all disconnected at the end."""
    from helpers import ioc
    contexts = []

    def make(host_name=None):
        ctx = ioc.Context(host_name=host_name)
        assert ctx.broadcaster.udp_sock.getsockname()[0] == "127.0.0.1"
        contexts.append(ctx)
        return ctx

    yield make
    for ctx in contexts:
        ctx.disconnect(wait=False)  # its threads end by themselves


@pytest.fixture
def ca_repeater(epics_env):
    """caproto's CA repeater on 127.0.0.1 at the test's repeater port, in a
    process of its own, stopped at the end."""
    port = int(epics_env["EPICS_CA_REPEATER_PORT"])
    process = subprocess.Popen([sys.executable, "-c", "from caproto.sync.repeater import run; run('127.0.0.1')"],
                               env=dict(os.environ), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                break  # taken: the repeater listens
        time.sleep(0.05)
    yield process
    process.kill()
    process.wait(10)
