"""The faces the conformance suite runs on, and a face opened on the
simulated controller for each test. Faces are the FACES lists of the
face_*.py files of this folder (see face.py)."""
import glob
import importlib
import itertools
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from face import Rig  # noqa: E402

# Set in the run that test_private_network.py starts in a network namespace
# whose one interface is the loopback.
INSIDE = os.environ.get("VOSTEL_PRIVATE_NETWORK") == "1"
# A comma-separated list of face names limits the run to those faces.
CHOSEN = [name for name in os.environ.get("VOSTEL_CONFORMANCE_FACES", "").split(",") if name]

# The simulator's clock runs this many times faster than the wall clock:
# moves of a few nm take a fraction of a second, a stop still lands mid-move.
WALL_SPEED = 4.0

_names = itertools.count(1)


def _missing(modules):
    """Why the first module of `modules` that does not import fails, or None."""
    for module in modules:
        try:
            importlib.import_module(module)
        except Exception as exc:  # an ImportError, or a package broken on this interpreter
            return "%s does not import: %s: %s" % (module, type(exc).__name__, exc)
    return None


def face_classes():
    """Every face of every face_*.py here (of VOSTEL_CONFORMANCE_FACES when set)."""
    found = []
    for path in sorted(glob.glob(os.path.join(HERE, "face_*.py"))):
        module = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
        found.extend(cls for cls in getattr(module, "FACES", ()) if not CHOSEN or cls.name in CHOSEN)
    return found


def why_not_here(cls):
    """Why the face cannot run in this process, or None."""
    if cls.private_network and sys.platform == "win32":
        return "Windows: no network namespace to keep its client, which binds every interface, on the loopback"
    if cls.private_network and not INSIDE:
        return "its client binds every interface: it runs in test_private_network.py's network namespace"
    return _missing(cls.requires)


def discovered_faces():
    """pytest.param(face class) for every face, skipped with the reason where it cannot run."""
    found = []
    from helpers import windows_leg

    for cls in face_classes():
        reason = why_not_here(cls)
        if sys.platform == "win32":
            reason = windows_leg.conformance_reason(cls.name) or reason
        marks = [pytest.mark.skip(reason="face %s: %s" % (cls.name, reason))] if reason else []
        found.append(pytest.param(cls, id=cls.name, marks=marks))
    return found


def pytest_generate_tests(metafunc):
    if "face_class" in metafunc.fixturenames:
        metafunc.parametrize("face_class", discovered_faces())


@pytest.fixture
def rig(sim, tmp_path, monkeypatch, request):
    def free_port():
        from helpers.ioc import free_port
        return free_port()

    sim.use_wall_clock(WALL_SPEED)
    monkeypatch.delenv("DISPLAY", raising=False)  # a limit switch must never open a window
    return Rig(sim, "CONF%d:" % next(_names), monkeypatch.setenv, free_port, tmp_path,
               fixture=request.getfixturevalue, wall_speed=WALL_SPEED)


def pytest_configure(config):
    config.addinivalue_line("markers", "scenario(name): the scenario (face.SCENARIOS) a conformance test plays")


@pytest.fixture
def face(face_class, rig, request):
    """The face opened on the simulated controller, standing at 780 nm. A
    test marked scenario(name) is skipped, before anything is started, on a
    face that cannot express that scenario, with the face's reason."""
    marker = request.node.get_closest_marker("scenario")
    if marker is not None:
        reason = face_class.cannot.get(marker.args[0])
        if reason:
            pytest.skip("%s cannot express %s: %s" % (face_class.name, marker.args[0], reason))
        fault = getattr(face_class, "known_failures", {}).get(marker.args[0])
        if fault:
            request.node.add_marker(pytest.mark.xfail(reason="%s: %s" % (face_class.name, fault), strict=True))
    opened = face_class()
    try:
        opened.open(rig)
        if opened.controller is None:
            opened.controller = rig.controller
        yield opened
    finally:
        opened.close()


class CaSession:
    """Channel Access on 127.0.0.1 for the whole run: clients search a pool
    of ports, and each test's server takes the next one (next_env)."""

    POOL = 32

    def __init__(self):
        from helpers import ioc
        ports = []
        while len(ports) < self.POOL + 1:
            port = ioc.free_port()
            if not {port - 1, port, port + 1} & set(ports):
                ports.append(port)
        self.env = ioc.loopback_environment(ports[0])  # the repeater and the beacons: ports[0] + 1
        self.env["EPICS_CA_ADDR_LIST"] = " ".join("127.0.0.1:%d" % port for port in ports[1:])
        self._ports = itertools.cycle(ports[1:])
        self.repeater = ioc.start_repeater(self.env)

    def next_env(self):
        """The environment of the next test's server: the run's, with a port of the pool."""
        return dict(self.env, EPICS_CA_SERVER_PORT=str(next(self._ports)))

    def close(self):
        self.repeater.kill()
        self.repeater.wait(10)


@pytest.fixture(scope="session")
def ca_session():
    """The run's CaSession. Faces over libca use it: libca reads the
    environment once per process, so every test of the run must find its
    server through the same settings; a fresh port per test keeps each test's
    clients off the last test's server. These faces run in a network namespace
    of their own, where no other program's port answers the searches."""
    session = CaSession()
    yield session
    session.close()
