"""The bluesky device in this process (vostelmotor_lab.bluesky.GratingMotor):
plans on the simulated controller with progress reported to the status's
watchers, the speed as configuration, refusals, a move that lands off its
target failing, the lab package importing without ophyd-async, and the
how-to page's example run as written."""
import os
import re
import subprocess
import sys
import threading

import pytest

from helpers import paths

pytest.importorskip("ophyd_async")
pytest.importorskip("bluesky")

from bluesky import RunEngine  # noqa: E402
from bluesky.run_engine import call_in_bluesky_event_loop  # noqa: E402

TOLERANCE = 0.011  # 20 steps, the landing tolerance, at about 2000 steps per nm


@pytest.fixture
def RE():
    return RunEngine({}, context_managers=[])


@pytest.fixture
def grating(sim, RE, monkeypatch):
    """The device on the simulated controller, its clock 4x the wall clock."""
    from vostelmotor_lab.bluesky import GratingMotor

    monkeypatch.delenv("DISPLAY", raising=False)
    # The simulator this test controls, also where an installed wheel ships another copy.
    monkeypatch.setattr("vostelmotor_lab.simulated.library_path", lambda: sim.path)
    sim.use_wall_clock(4.0)
    device = GratingMotor(simulated=True, name="grating")
    call_in_bluesky_event_loop(device.connect(timeout=30))
    yield device
    device.close()


def run(coro):
    return call_in_bluesky_event_loop(coro, timeout=60)


def wait(make_status):
    """Makes the status on the event loop, as a plan would, and waits for it."""
    async def made():
        return await make_status()
    return run(made())


class Probe:
    """A detector: at each read, whether the controller moved and where it stood."""
    name, parent = "probe", None

    def __init__(self, sim):
        self.sim, self.seen = sim, []

    def read(self):
        self.seen.append((self.sim.moving(), self.sim.position()))
        return {"probe": {"value": len(self.seen), "timestamp": 0.0}}

    def describe(self):
        return {"probe": {"source": "test", "dtype": "integer", "shape": []}}

    def read_configuration(self):
        return {}

    def describe_configuration(self):
        return {}


def test_plans_land_where_they_asked_and_report_progress(grating, RE, sim):
    import bluesky.plan_stubs as bps
    import bluesky.plans as bp
    from bluesky.utils import ProgressBarManager

    # The progress bar and a recording watcher on every status the plans wait for.
    bars, updates = ProgressBarManager(), []

    def waiting_hook(statuses):
        bars(statuses)
        for status in statuses or ():
            if hasattr(status, "watch"):
                status.watch(lambda **update: updates.append(update))
    RE.waiting_hook = waiting_hook
    RE(bps.mv(grating, 786.0))
    RE.waiting_hook = bars
    assert abs(run(grating.wavelength.get_value()) - 786.0) <= TOLERANCE and not sim.moving()
    assert updates[0]["initial"] == pytest.approx(780.0, abs=TOLERANCE) and updates[0]["target"] == 786.0
    currents = [update["current"] for update in updates]
    assert any(780.5 < current < 785.5 for current in currents), currents  # on the way, not only the ends
    assert currents == sorted(currents) and updates[-1]["name"] == "grating" and updates[-1]["unit"] == "nm"
    location = run(grating.locate())
    assert location["setpoint"] == 786.0 and abs(location["readback"] - 786.0) <= TOLERANCE

    for plan, asked in ((bp.scan, [776.0 + i for i in range(9)]), (bp.list_scan, [781.5, 779.0, 783.25])):
        probe, events = Probe(sim), []
        arguments = (asked[0], asked[-1], len(asked)) if plan is bp.scan else (asked,)
        RE(plan([probe], grating, *arguments), lambda name, doc: events.append(doc) if name == "event" else None)
        assert len(events) == len(asked)
        for event, point, (moving, _) in zip(events, asked, probe.seen):
            assert abs(event["data"]["grating"] - point) <= TOLERANCE and "grating-current" in event["data"]
            assert not moving
        assert len({position for _, position in probe.seen}) == len(asked)  # it stood somewhere else each time

    configuration = run(grating.read_configuration())
    assert set(configuration) == {"grating-velocity", "grating-acceleration"}
    assert configuration["grating-velocity"]["value"] > 0


def test_stop_fails_the_move_and_the_speed_is_configuration(grating, RE, sim):
    import bluesky.plan_stubs as bps
    from vostelmotor_lab.bluesky import MoveError

    RE(bps.mv(grating.speed, 2.0))
    assert run(grating.velocity.get_value()) == pytest.approx(2.0, rel=0.01)  # read back from the controller
    assert run(grating.read_configuration())["grating-velocity"]["value"] == pytest.approx(2.0, rel=0.01)

    async def move_and_stop():
        status = grating.set(770.0)
        reached_halfway = threading.Event()
        status.watch(lambda current, **_: current < 778.5 and reached_halfway.set())
        while not reached_halfway.is_set():
            await __import__("asyncio").sleep(0.02)
        await grating.stop()
        with pytest.raises(MoveError, match="stopped at"):
            await status
    run(move_and_stop())
    stood = run(grating.wavelength.get_value())
    assert 770.5 < stood < 778.5 and not sim.moving()
    assert run(grating.state.get_value()) == "Idle"


def test_refused_setpoints_send_nothing(grating, sim):
    from vostelmotor_lab.bluesky import LimitsError

    sim.clear_trace()
    for wrong in (759.9, 800.1, float("nan"), "780"):
        with pytest.raises(LimitsError):
            wait(lambda: grating.set(wrong))
    assert sim.command_count("VCS_MoveToPosition") == 0
    assert grating.limits == (760.0, 800.0)


class OffTarget:
    """A motor whose every move stops 0.5 nm short of its target."""

    def __init__(self):
        self.position = 780.0

    def connect(self, usb):
        return True

    def disconnect(self):
        pass

    def getWavelengthMinMax(self):
        return [760.0, 800.0]

    def getVelocityParameter(self):
        return (2.0, 4.0, 4.0)

    def getWavelength(self):
        return self.position

    def getCurrent(self):
        return 0

    def moveToWavelength(self, wavelength, highPrecision=0, trigger=0):
        self.position = wavelength - 0.5 if wavelength > self.position else wavelength + 0.5
        return self.position

    def stopMovement(self):
        pass

    def _motor__wavelengthToMotorposition(self, wavelength):
        return round(-2000 * (wavelength - 780.0))

    def _motor__motorpositionToWavelength(self, position):
        return 780.0 - position / 2000


def test_a_move_that_lands_off_target_fails(RE, monkeypatch):  # RE: the event loop the device runs on
    import vostelmotor_lab.bluesky as module
    from vostelmotor_lab.bluesky import MoveError

    monkeypatch.setattr(module, "ServedMotor", OffTarget)
    device = module.GratingMotor(usb="USB0", name="offtarget")
    run(device.connect(timeout=30))
    try:
        with pytest.raises(MoveError, match="outside the landing tolerance of 0.0100 nm"):
            wait(lambda: device.set(785.0))
        assert run(device.wavelength.get_value()) == 784.5
    finally:
        device.close()


def test_connecting_without_a_controller_fails_with_the_reason(sim, RE):
    from vostelmotor_lab.bluesky import GratingMotor

    device = GratingMotor(usb="USB7", simulated=True, name="nowhere")
    with pytest.raises(ConnectionError, match="no controller on USB7 within 3 s"):
        run(device.connect(timeout=3))
    with pytest.raises(ConnectionError, match="not connected"):
        wait(lambda: device.set(780.0))


def test_the_lab_package_imports_without_ophyd_async():
    code = ("import sys\n"
            "sys.modules['ophyd_async'] = None  # as if not installed\n"
            "import vostelmotor_lab, vostelmotor_lab.drive, vostelmotor_lab.cli, vostelmotor_lab.panel\n"
            "try:\n"
            "    import vostelmotor_lab.bluesky\n"
            "except ImportError as exc:\n"
            "    print('bluesky device needs', exc.name)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([paths.BUILD, paths.ROOT]))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("bluesky device needs ophyd_async"), result.stdout


def test_the_how_to_page_example(tmp_path):
    # The how-to page's and the README's.
    examples = paths.marked_examples("test_bluesky_device.py", os.path.join("docs", "howto", "bluesky.md"), "README.md")
    assert len(examples) == 2
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "PYTHONPATH")}
    env.update(PYTHONPATH=os.pathsep.join([paths.BUILD, paths.ROOT]), VOSTEL_SIM_STATE=str(tmp_path / "state.txt"))
    for code in examples:
        result = subprocess.run([sys.executable, "-c", code], cwd=str(tmp_path), env=env, capture_output=True,
                                text=True, timeout=180)
        assert result.returncode == 0, result.stdout + result.stderr
        for promised in re.findall(r"print\(.*\)\s*#\s*(\S+)$", code, flags=re.M):
            assert promised in result.stdout, (promised, result.stdout)
