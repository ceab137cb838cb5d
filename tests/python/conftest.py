"""Fixtures: a recording fake of the controller's command library and a motor
wired to it, the simulated controller on a private state file, and a virtual
display. What they are built from lives in the helpers package."""
import os

import pytest

from helpers import paths
from helpers.display import virtual_display
from helpers.library import FakeLibrary, make_motor

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
    """A 1920 x 1080 virtual display (Xvfb) as DISPLAY."""
    name, why = virtual_display()
    if name is None:
        pytest.skip(why)
    monkeypatch.setenv("DISPLAY", name)
    return name
