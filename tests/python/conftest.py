"""Fixtures: a recording fake of the controller's command library and a motor
wired to it, the simulated controller on a private state file, a virtual
display, and the IOC with its Channel Access clients on the loopback. What they
are built from lives in the helpers package."""
import logging
import os
import subprocess
import sys

import pytest

from helpers import paths
from helpers.display import free_windows, virtual_display
from helpers.library import FakeLibrary, make_motor
from helpers import companions, windows_leg

import vostelmotor  # noqa: E402 (found through the helpers' sys.path set-up)
from simcontrol import SimulatedController  # noqa: E402


# Windows: ctypes loads a library by bare name from the process's loaded
# modules first, so once any test in a process loaded EposCMD64.dll (the
# simulated controller), a later load of the bare name finds it. Tests of a
# failing search are marked to run in a fresh interpreter there.
FRESH_PROCESS = "VOSTEL_FRESH_PROCESS"
RUN_PYTEST = "import sys; del sys.path[0]; import pytest; sys.exit(pytest.main(sys.argv[1:]))"


def pytest_configure(config):
    config.addinivalue_line("markers", "fresh_process_on_windows: on Windows, run the test alone in a new interpreter")
    config.addinivalue_line("markers", "xdist_group(name): pytest-xdist's --dist loadgroup runs a group on one worker")
    config.addinivalue_line("markers", "real_windows: works real windows on the virtual display (set by the display fixture)")
    config.addinivalue_line("markers", companions.MARKER)


def _mark_real_windows(items):
    # One X display for the run: with pytest-xdist (--dist loadgroup), the
    # tests that work real windows with X input run one after another on one
    # worker, so that no other worker's window takes their clicks and keys.
    # `-m real_windows` / `-m "not real_windows"` run them apart.
    for item in items:
        if "display" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.xdist_group("display"))
            item.add_marker(pytest.mark.real_windows)


def _skip_on_windows_leg(items):
    """The tests the Windows leg leaves out say why (helpers.windows_leg)."""
    for item in items:
        path = item.nodeid.replace(os.sep, "/").partition("::")[0]
        reason = windows_leg.file_left_out(os.path.basename(path))
        if reason:
            item.add_marker(pytest.mark.skip(reason=reason))


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if (sys.platform != "win32" or os.environ.get(FRESH_PROCESS)
            or pyfuncitem.get_closest_marker("fresh_process_on_windows") is None):
        return None
    path, _, name = pyfuncitem.nodeid.partition("::")
    target = os.path.join(str(pyfuncitem.config.rootpath), path) + "::" + name
    run = subprocess.run([sys.executable, "-c", RUN_PYTEST, "-q", "-p", "no:cacheprovider",
                          "--rootdir", str(pyfuncitem.config.rootpath), target],
                         cwd=str(pyfuncitem.config.rootpath), env=dict(os.environ, **{FRESH_PROCESS: "1"}),
                         capture_output=True, text=True, timeout=300)
    if run.returncode != 0 or " passed" not in run.stdout:
        pytest.fail("in a fresh interpreter:\n" + run.stdout[-3000:] + run.stderr[-2000:], pytrace=False)
    return True


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


def pytest_collection_modifyitems(config, items):
    companions.mark(items)
    _mark_real_windows(items)
    _skip_on_windows_leg(items)


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
    from helpers import ioc
    process = ioc.start_repeater(epics_env)
    yield process
    process.kill()
    process.wait(10)


@pytest.fixture
def serve_faces(sim, epics_env, quiet_caproto, monkeypatch):
    """serve_faces(prefix, wall_speed=1.0, ca=True, pva=True) -> the motor on
    Channel Access and PVAccess from one drive on the simulated controller
    (helpers.faces.ServedFaces); stopped at the end of the test."""
    from helpers import faces
    monkeypatch.delenv("DISPLAY", raising=False)
    started = []

    def start(prefix="FACES:", wall_speed=1.0, **options):
        sim.use_wall_clock(wall_speed)
        served = faces.ServedFaces(prefix, **options)
        started.append(served)
        return served

    yield start
    for served in started:
        served.stop()
