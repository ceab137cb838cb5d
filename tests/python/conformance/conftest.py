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


def discovered_faces():
    """pytest.param(face class) for every face of every face_*.py here."""
    found = []
    for path in sorted(glob.glob(os.path.join(HERE, "face_*.py"))):
        module = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
        for cls in getattr(module, "FACES", ()):
            reason = _missing(cls.requires)
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


@pytest.fixture
def face(face_class, rig):
    """The face opened on the simulated controller, standing at 780 nm."""
    opened = face_class()
    try:
        opened.open(rig)
        if opened.controller is None:
            opened.controller = rig.controller
        yield opened
    finally:
        opened.close()


@pytest.fixture
def skip_unless_expressed(face):
    """skip_unless_expressed(scenario): skips the test when the face says
    its protocol cannot express the scenario, with the face's reason."""
    def check(scenario):
        reason = face.cannot.get(scenario)
        if reason:
            pytest.skip("%s cannot express %s: %s" % (face.name, scenario, reason))
    return check
