"""ophyd's EpicsMotor on the IOC, scanned by a bluesky RunEngine, and its
set_current_position.

The motor gets settle_time=0.1, its one setting off the defaults: at 0,
ophyd's own DMOV callback can drop the status of the plan's next move and
the scan hangs, against any motor record (scripts/ophyd_done_race.py shows
it without this IOC)."""
import os
import subprocess
import sys

import numpy as np
import pytest

from helpers.ioc import close, pvs, value, wait_until

pytest.importorskip("ophyd")
pytest.importorskip("bluesky")

SCANS = int(os.environ.get("VOSTEL_IOC_SCANS", "10"))
POINTS = 20


@pytest.fixture
def ophyd_on_caproto():
    import ophyd
    ophyd.set_cl("caproto")
    yield ophyd
    from caproto.threading import pyepics_compat
    pyepics_compat.PV.default_context().disconnect(wait=False)  # its channels belonged to this test's IOC


@pytest.fixture
def grating(serve, client, ophyd_on_caproto):
    ioc = serve("SCAN:", wall_speed=4.0)
    rbv = pvs(client(), ioc.prefix, "MOTOR.RBV")
    wait_until(lambda: close(value(rbv), 780.0), 20, what="connected")
    motor = ophyd_on_caproto.EpicsMotor(ioc.prefix + "MOTOR", name="grating", settle_time=0.1)
    motor.wait_for_connection(timeout=20)
    return motor


def test_scans_land_on_every_point_and_set_current_position_calibrates(grating, sim):
    from bluesky import RunEngine
    from bluesky.plans import scan

    assert grating.egu == "nm"
    assert grating.limits == (760.0, 800.0)
    tolerance = pvs_rdbd(grating)
    RE = RunEngine({}, context_managers=[])
    wanted = np.linspace(776.0, 784.0, POINTS)
    for run in range(SCANS):
        events = []
        RE(scan([], grating, wanted[0], wanted[-1], POINTS),
           lambda name, doc: events.append(doc) if name == "event" else None)
        readbacks = [event["data"]["grating"] for event in events]
        assert len(readbacks) == POINTS, run
        for requested, reached in zip(wanted, readbacks):
            assert abs(reached - requested) <= tolerance, (run, requested, reached)
    assert not grating.moving and not sim.moving()

    # set_current_position: SET=1, VAL=x, SET=0 calibrates without a move.
    sim.clear_trace()
    grating.set_current_position(790.0)
    wait_until(lambda: close(grating.position, 790.0), 10, what="calibrated readback")
    assert sim.command_count("VCS_MoveToPosition") == 0
    wait_until(lambda: grating.set_use_switch.get() == 0, 10, what="back in Use mode")
    grating.move(788.0, wait=True)
    assert abs(grating.position - 788.0) <= tolerance


def pvs_rdbd(motor):
    from ophyd import EpicsSignalRO
    rdbd = EpicsSignalRO(motor.prefix + ".RDBD", name="rdbd")
    rdbd.wait_for_connection(timeout=10)
    return rdbd.get()


def test_the_race_script_explains_itself_without_serving_anything():
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "ophyd_done_race.py")
    done = subprocess.run([sys.executable, script, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("usage: ophyd_done_race.py") and "--settle" in done.stdout
    assert "settle_time" in done.stdout and done.stderr == ""
