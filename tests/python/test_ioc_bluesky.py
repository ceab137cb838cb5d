"""ophyd's EpicsMotor on the IOC, scanned by a bluesky RunEngine."""
import numpy as np
import pytest

from helpers.ioc import close, pvs, value, wait_until

pytest.importorskip("ophyd")
pytest.importorskip("bluesky")


@pytest.fixture
def ophyd_on_caproto():
    import ophyd
    ophyd.set_cl("caproto")
    yield ophyd
    from caproto.threading import pyepics_compat
    pyepics_compat.PV.default_context().disconnect(wait=False)  # its channels belonged to this test's IOC


def test_scan_of_five_points_lands_on_each_wavelength(serve, client, ophyd_on_caproto):
    from bluesky import RunEngine
    from bluesky.plans import scan

    ioc = serve("SCAN:")
    rbv = pvs(client(), ioc.prefix, "MOTOR.RBV")
    wait_until(lambda: close(value(rbv), 780.0), 20, what="connected")

    # The settle time keeps the plan's next move from starting inside ophyd's
    # completion callback of the previous one, which would drop its status.
    motor = ophyd_on_caproto.EpicsMotor(ioc.prefix + "MOTOR", name="grating", settle_time=0.1)
    motor.wait_for_connection(timeout=20)
    assert motor.egu == "nm"
    assert motor.limits == (760.0, 800.0)

    events = []
    RE = RunEngine({}, context_managers=[])
    RE(scan([], motor, 776.0, 784.0, 5), lambda name, doc: events.append(doc) if name == "event" else None)

    readbacks = [event["data"]["grating"] for event in events]
    assert len(readbacks) == 5
    for requested, reached in zip(np.linspace(776.0, 784.0, 5), readbacks):
        assert close(reached, requested), (requested, reached)
    assert not motor.moving
