"""Arguments the controller must never see (not finite wavelengths, unknown
trigger kinds, values that fail halfway) are refused before anything is sent
or stored, and the trigger arguments that are accepted reach the simulated
controller (virtual clock) as given. Interval widths that are refused:
test_triggers.py."""
import ctypes
from decimal import Decimal

import pytest

import vostelmotor
from helpers.simulated import sent_arguments

INF, NAN = float("inf"), float("nan")
WAVELENGTH = "wavelength must be a finite number of nm, not "
COMPARED = "'<' not supported between instances of '%s' and 'float'"  # the range guard's own
KIND = "trigger must be 0 (none), 1 (position compare) or 2 (motion trigger), not "


class Unformattable(float):
    """A wavelength that converts but cannot be printed with two decimals."""

    def __format__(self, format_spec):
        raise TypeError("cannot format this wavelength")


class NoTruth:
    def __bool__(self):
        raise TypeError("no truth value")


@pytest.fixture
def m(connected_sim_motor):
    connected_sim_motor.moveToWavelength(785.0)
    return connected_sim_motor


def slope_at_the_middle(m):
    """nm per step where the trigger converts widths (the middle of the range)."""
    x = m._motor__wavelengthToMotorposition(780.0)
    return 2 * m._motor__CoeffA * x + m._motor__BallScrew * m._motor__CoeffB


@pytest.mark.parametrize("call, error, text", [
    (lambda m: m.moveToWavelength(INF), ValueError, WAVELENGTH + "inf"),
    (lambda m: m.moveToWavelength(-INF, 1, 2), ValueError, WAVELENGTH + "-inf"),
    (lambda m: m.moveToWavelength(NAN), ValueError, WAVELENGTH + "nan"),
    (lambda m: m.moveToWavelength(Decimal("Infinity")), ValueError, WAVELENGTH + "Decimal('Infinity')"),
    (lambda m: m.calibration(-INF), ValueError, WAVELENGTH + "-inf"),
    (lambda m: m.calibration(NAN), ValueError, WAVELENGTH + "nan"),
    (lambda m: m.calibration(Unformattable(780.5)), TypeError, "cannot format this wavelength"),
    (lambda m: m.moveToWavelength(None), TypeError, COMPARED % "NoneType"),
    (lambda m: m.calibration(b"780"), TypeError, COMPARED % "bytes"),
    (lambda m: m.calibration("780"), TypeError, COMPARED % "str"),
    (lambda m: m.moveToWavelength([780.0]), TypeError, COMPARED % "list"),
    (lambda m: m.moveToWavelength(780j), TypeError, COMPARED % "complex"),
    (lambda m: m.calibration(ctypes.c_double(780.0)), TypeError, COMPARED % "c_double"),
    (lambda m: m.moveToWavelength(780.0, 0, 3), ValueError, KIND + "3"),
    (lambda m: m.moveToWavelength(780.0, 1, "1"), ValueError, KIND + "'1'"),
    (lambda m: m.moveToWavelength(780.0, 0, None), ValueError, KIND + "None"),
    (lambda m: m.moveToWavelength(780.0, NoTruth()), TypeError, "no truth value"),
    (lambda m: m.moveSteps(100, 1.5), ValueError, KIND + "1.5"),
    (lambda m: m.moveSteps(100, -1), ValueError, KIND + "-1"),
], ids=["inf", "-inf high precision", "nan", "Decimal inf", "calibration -inf", "calibration nan",
        "calibration unprintable", "None", "calibration bytes", "calibration str", "list", "complex",
        "calibration ctypes double", "kind 3", "kind '1'", "kind None", "precision without truth", "steps kind 1.5",
        "steps kind -1"])
def test_refused_before_anything_is_sent_or_stored(m, sim, capsys, call, error, text):
    stored, offset, position = m._motor__HomePosition().value, m._motor__offset, sim.position()
    capsys.readouterr()
    sim.clear_trace()
    with pytest.raises(error) as info:
        call(m)
    assert str(info.value) == text
    assert sim.trace()["commands"] == [] and capsys.readouterr().out == ""
    assert (m._motor__HomePosition().value, m._motor__offset, sim.position()) == (stored, offset, position)
    assert sim.output_level(3) == 0 and not hasattr(m, "_dutyCycle") and m.getMoving() is False


@pytest.mark.parametrize("kind, pulses, level", [(True, True, 0), (1.0, True, 0), (2.0, False, 1), (False, False, 0)])
def test_trigger_kinds_are_compared_by_value(m, sim, monkeypatch, kind, pulses, level):
    m.triggerParameter(0.5)
    (width,) = sent_arguments(sim, "VCS_SetPositionCompareParameter", 5)
    sim.clear_trace()
    levels = []
    monkeypatch.setattr(vostelmotor, "sleep", lambda s: (sim.advance(s), levels.append(sim.output_level(3))))
    start = sim.position()
    m.moveToWavelength(770.0, trigger=kind)
    assert sim.pulse_count() == (abs(sim.position() - start) // width if pulses else 0) and sim.position() != start
    assert set(levels) == {level}


@pytest.mark.parametrize("steps", [1, 65535])
def test_widths_at_the_ends_of_the_interval_field(m, sim, steps):
    m.triggerParameter(slope_at_the_middle(m) * (steps + 0.5 * (steps > 1)))
    assert sent_arguments(sim, "VCS_SetPositionCompareParameter", 5) == [steps]
    sim.clear_trace()
    m.moveSteps(-5000, trigger=1)
    assert sim.pulse_count() == 5000 // steps


def test_a_width_too_large_for_a_float_is_refused_as_other_widths_are(m, sim):
    sim.clear_trace()
    with pytest.raises(ValueError, match="is inf steps; the position-compare interval takes 1 to 65535 steps"):
        m.triggerParameter(10 ** 400)
    assert sim.trace()["commands"] == [] and not hasattr(m, "_dutyCycle")
