"""Shared fixtures: the development build on sys.path, a recording fake of
the controller's command library, and motors wired to it."""
import ctypes
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("VOSTEL_BUILD_DIR", os.path.join(ROOT, "build", "python"))
if BUILD not in sys.path:
    sys.path.insert(0, BUILD)

import vostelmotor  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "simulator"))
from simcontrol import SimulatedController  # noqa: E402

SIM_LIBRARY = os.path.join(BUILD, "EposCMD64.dll")


class Call:
    """One recorded command: its name and the arguments exactly as passed."""

    def __init__(self, name, args):
        self.name = name
        self.args = args

    def values(self):
        """Arguments made comparable: cells by value, references by their cell's value."""
        out = []
        for a in self.args:
            if hasattr(a, "_obj"):
                out.append(("ref", a._obj.value if hasattr(a._obj, "value") else a._obj))
            elif isinstance(a, ctypes._SimpleCData):
                out.append(a.value)
            else:
                out.append(a)
        return out

    def __repr__(self):
        return "Call(%s, %r)" % (self.name, self.values())


class FakeLibrary:
    """Stands in for the command library. Every attribute is a command that
    records its call. `results[name]` gives the return value (default 1),
    `fill[name]` a function(args) run before returning (to fill out-cells),
    and a failing command writes `error_codes[name]` into the error cell."""

    def __init__(self):
        self.calls = []
        self.results = {}
        self.fill = {}
        self.error_codes = {}
        self.error_texts = {}

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def command(*args):
            if name == "VCS_GetErrorInfo":
                code, buf, size = args
                text = self.error_texts.get(code, "Fake error %d" % code).encode("utf-8")
                ctypes.memmove(buf, text, min(len(text), size.value - 1))
                return 1
            self.calls.append(Call(name, args))
            if name in self.fill:
                self.fill[name](args)
            result = self.results.get(name, 1)
            if callable(result):
                result = result(args)
            if result == 0 and args and hasattr(args[-1], "_obj"):
                args[-1]._obj.value = self.error_codes.get(name, 0x10000001)
            return result

        return command

    def names(self):
        return [c.name for c in self.calls]

    def called(self, name):
        return [c for c in self.calls if c.name == name]


def make_motor(lib):
    """A motor whose command library is `lib` (the loader overridden in a subclass)."""

    class FakeLoadedMotor(vostelmotor.motor):
        def load_epos_dll(self, package_dir=None):
            return lib

    return FakeLoadedMotor()


# Factory calibration of the simulated controller (the values its words encode;
# decoded they differ in the last digits, e.g. C reads back as 779.999232).
A_FACTORY = 1e-11
B_FACTORY = -0.0005
C_FACTORY = 780.0


def connect_fake(m, A=A_FACTORY, B=B_FACTORY, C=C_FACTORY, lo=760.0, hi=800.0, encoder=512, offset=0):
    """Puts a motor into the connected state without going through connect()."""
    m._motor__connection = True
    m._motor__keyhandle = 7
    m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC = A, B, C
    m._motor__minWavelength, m._motor__maxWavelength = lo, hi
    m._motor__BallScrew = (B > 0) - (B < 0)
    m._motor__pEncoderResolution = ctypes.c_uint32(encoder)
    m._motor__offset = offset
    return m


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
    if not os.path.exists(SIM_LIBRARY):
        pytest.skip("simulated controller not built")
    state = str(tmp_path / "sim_state.txt")
    monkeypatch.setenv("VOSTEL_SIM_STATE", state)  # seen by child processes too
    controller = SimulatedController.fresh(SIM_LIBRARY, state)
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
