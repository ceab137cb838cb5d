"""Calibration, wavelength reading and speed profile end to end on the
simulated controller, including a second process that connects afterwards."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from helpers.paths import BUILD
from helpers.library import A_FACTORY, B_FACTORY, C_FACTORY

CHILD = textwrap.dedent("""
    import json, sys
    sys.path.insert(0, sys.argv[1])
    import vostelmotor
    m = vostelmotor.motor()
    ok = m.connect()
    print(json.dumps({
        "connected": ok,
        "coefficients": [m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC],
        "range": m.getWavelengthMinMax(),
        "wavelength": m.getWavelength(),
        "offset": m._motor__offset,
    }))
    m.disconnect()
""")


def connect_in_new_process():
    out = subprocess.run([sys.executable, "-c", CHILD, BUILD], capture_output=True, text=True, check=True,
                         env=dict(os.environ)).stdout
    return json.loads(out.splitlines()[-2])


def decoded(m, *coefficients):
    return [m._motor__hexToFloatForCoefficients(m._motor__coefficientsToHex(c)) for c in coefficients]


def one_step(m, wavelength):
    x = m._motor__wavelengthToMotorposition(wavelength)
    return abs(m._motor__motorpositionToWavelength(x + 1) - m._motor__motorpositionToWavelength(x))


def test_calibrate_read_back_and_find_it_again_from_a_new_process(sim, sim_motor, capsys):
    m = sim_motor
    sim.set_position(-7321)
    assert m.connect() is True
    assert m._motor__connection is True
    factory = decoded(m, A_FACTORY, B_FACTORY, C_FACTORY)
    assert [m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC] == factory
    assert m.getWavelengthMinMax() == [760.0, 800.0]
    assert m._motor__BallScrew == -1 and m._motor__pEncoderResolution.value == 512

    m.calibration(787.25)
    assert abs(m.getWavelength() - 787.25) <= one_step(m, 787.25)
    assert sim.position() == -7321  # calibrating does not move the drive

    m.setVelocityParameter(0.5, 2.0, 3.0)
    v, a, d = m.getVelocityParameter()
    assert 0 < v <= 0.5 and 0 < a <= 2.0 and 0 < d <= 3.0
    assert v == pytest.approx(0.5, rel=0.05) and a == pytest.approx(2.0, rel=0.05)
    wavelength = m.getWavelength()
    m.disconnect()
    assert capsys.readouterr().out.splitlines()[-1] == "disconnected"

    other = connect_in_new_process()
    assert other["connected"] is True
    assert other["coefficients"] == factory
    assert other["range"] == [760.0, 800.0]
    assert other["offset"] == m._motor__offset
    assert other["wavelength"] == wavelength


def test_new_calibration_is_found_at_the_next_connection(sim, sim_motor):
    m = sim_motor
    m.connect()
    m._motor__SetMotorCoefficients(1e-11, 0.002, 4700.0, 5000.0, 4500.0)
    with pytest.raises(ValueError):
        m._motor__SetMotorCoefficients(float("nan"), 0.002, 780.0, 800.0, 760.0)
    m.disconnect()
    assert m.connect() is True
    assert [m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC] == decoded(m, 1e-11, 0.002, 4700.0)
    assert m.getWavelengthMinMax() == [4500.0, 5000.0] and m._motor__QCL is True
    assert m._motor__BallScrew == 1 and m._motor__offset == -sim.position()
    m.disconnect()


def test_no_controller_on_the_port(sim, sim_motor, capsys):
    assert sim_motor.connect("USB7") is False
    out = capsys.readouterr().out
    assert "VCS_OpenDevice failed with Code" in out and "VCS_SetEnableState failed with Code" in out
    assert sim_motor._motor__connection is False
