"""The arithmetic of the motor methods gives what the same expressions give
when Python evaluates them on the very objects passed in: the same type, the
same value (down to the sign of zero), the same exception and text. Each
reference below is the formula written out in plain Python."""
import ctypes
import decimal
import enum
import math
from fractions import Fraction

import numpy as np
import pytest

from helpers.library import connect_fake, keep_profile

# numpy warns where a zero A makes its division infinite, in the reference as
# in the module.
pytestmark = pytest.mark.filterwarnings("ignore:.*encountered in.*:RuntimeWarning")

RISING = dict(A=1e-9, B=0.002, C=780.0, lo=760.0, hi=800.0)


class Steps(enum.IntEnum):
    TEN = 10


class Length:
    """A user number type that only knows how to be multiplied and added."""

    def __init__(self, v):
        self.v = v

    def __pow__(self, n):
        return Length(self.v**n)

    def __rmul__(self, k):
        return Length(k * self.v)

    def __add__(self, other):
        return Length(self.v + (other.v if isinstance(other, Length) else other))

    __radd__ = __add__

    def __repr__(self):
        return "Length(%r)" % (self.v,)


ODD_VALUES = [
    decimal.Decimal("1234.0"),
    Fraction(1561, 2),
    Fraction(1, 3),
    complex(780, 1),
    b"780",
    "780",
    None,
    Length(3.0),
    Steps.TEN,
    True,
    10**30,
    -(2**62),
    1e308,
    -0.0,
    float("nan"),
    float("inf"),
]
NUMPY_VALUES = [np.float32(781.3), np.float64(781.3), np.int64(4988), np.int16(-7), np.bool_(True)]


def outcome(f, *args):
    """What a call gives, comparably: the result's type and repr, or the
    exception's type and text."""
    try:
        r = f(*args)
    except Exception as e:  # noqa: BLE001 - every exception is compared
        return ("raises", type(e), str(e))
    if isinstance(r, tuple):
        return tuple((type(x), repr(x)) for x in r)
    return (type(r), repr(r))


def as_plain(value):
    """numpy scalars are worked with in double precision."""
    if isinstance(value, (np.floating, np.integer, np.bool_)):
        return float(value)
    return value


# --- the formulas in plain Python ---------------------------------------------------


def ref_wavelength(A, B, C, Motorposition):
    return A * Motorposition**2 + B * Motorposition + C


def ref_position(A, B, C, pm, Wavelength):
    discriminant = B**2 - 4 * A * (C - Wavelength)
    if discriminant < 0:
        raise ValueError("No real roots: The discriminant is negative.")
    sqrt_discriminant = np.sqrt(discriminant)
    if pm:
        root = (-B - sqrt_discriminant) / (2 * A)
    else:
        root = (-B + sqrt_discriminant) / (2 * A)
    return int(np.round(root))


def ref_centre_position(m):
    xWL = (m._motor__maxWavelength + m._motor__minWavelength) / 2
    return ref_position(m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC, m._motor__pm, xWL)


def ref_working_point(m):
    A, B = m._motor__CoeffA, m._motor__CoeffB
    E, s = m._motor__pEncoderResolution.value, m._motor__BallScrew
    xMP = ref_centre_position(m)
    kv = 2 * A * xMP + B
    ka = 0.6666666666666666 * A * xMP + B
    return E, s, kv, ka


def ref_convert(m, pv, pa, pb):
    E, s, kv, ka = ref_working_point(m)
    return (pv * kv / 60 * (4 * E * s), pa * ka / 60 * 4 * E * s, pb * ka / 60 * 4 * E * s)


def ref_profile(m, velocity, acceleration, deceleration):
    E, s, kv, ka = ref_working_point(m)
    vMP = velocity / kv * 60 / (4 * E) * s
    aMP = acceleration / ka * 60 / (4 * E) * s
    bMP = deceleration / ka * 60 / (4 * E) * s
    if vMP > m._motor__maxVelocityMP:
        vMP = m._motor__maxVelocityMP
    if vMP < m._motor__minVelocityMP:
        vMP = m._motor__minVelocityMP
    if aMP > m._motor__maxAccMP:
        aMP = m._motor__maxAccMP
    if bMP > m._motor__maxAccMP:
        bMP = m._motor__maxAccMP
    if aMP < m._motor__minAccMP:
        aMP = m._motor__minAccMP
    if bMP < m._motor__minAccMP:
        bMP = m._motor__minAccMP
    return [int(vMP), int(aMP), int(bMP)]


def ref_steps(m, intervalWidth):
    xMP = ref_centre_position(m)
    g = 2 * m._motor__CoeffA * xMP + m._motor__BallScrew * m._motor__CoeffB
    return int(intervalWidth / g)


def ref_range_word(minWl, maxWl):
    return ctypes.c_uint32(int(minWl * 10) | int(maxWl * 10) << 16).value


def ref_coefficient(value):
    h1, h2, h3, h4 = (value >> 24) & 0xFF, (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF
    signMantisse = 1
    if h1 >> 7:
        h1 = h1 & 0x7F
        signMantisse = -1
    signExponent = 1
    if h4 >> 7:
        h4 = h4 & 0x7F
        signExponent = -1
    return signMantisse * (h1 * 65536 + h2 * 256 + h3) * 2 ** (signExponent * h4) * 1e-06


# --- arguments of any type ------------------------------------------------------------


CALIBRATIONS = [
    RISING,
    dict(A=Fraction(1, 10**9), B=Fraction(1, 500), C=780, lo=760, hi=800),
    dict(A=decimal.Decimal("1e-9"), B=decimal.Decimal("0.002"), C=decimal.Decimal(780), lo=760.0, hi=800.0),
    dict(A=0, B=2, C=780, lo=760, hi=800),
    dict(A=1e-9, B=1e200, C=780.0, lo=760.0, hi=800.0),
]


@pytest.mark.parametrize("cal", CALIBRATIONS, ids=["floats", "fractions", "decimals", "ints", "huge-B"])
@pytest.mark.parametrize("value", ODD_VALUES + NUMPY_VALUES, ids=repr)
def test_conversions_evaluate_the_expression_on_the_objects(m, cal, value):
    connect_fake(m, **cal)
    for pm in (True, False):
        m._motor__pm = pm
        A, B, C = m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC
        assert outcome(m._motor__motorpositionToWavelength, value) == outcome(
            ref_wavelength, A, B, C, as_plain(value)
        )
        assert outcome(m._motor__wavelengthToMotorposition, value) == outcome(
            ref_position, A, B, C, pm, as_plain(value)
        )


@pytest.mark.parametrize("value", [decimal.Decimal("780.5"), complex(780, 1), b"780"], ids=repr)
def test_a_wavelength_python_cannot_work_with_moves_nothing(m, lib, value):
    connect_fake(m, **RISING)
    with pytest.raises(TypeError):
        m.moveToWavelength(value)
    assert not lib.called("VCS_MoveToPosition")


def test_a_float_square_that_overflows_raises_as_pow_does(m):
    connect_fake(m, **RISING)
    with pytest.raises(OverflowError) as caught:
        m._motor__motorpositionToWavelength(1e308)
    with pytest.raises(OverflowError) as expected:
        1e308**2
    assert caught.value.args == expected.value.args
    assert math.isinf(RISING["A"] * 1e308 * 1e308)  # a product alone would only give inf


@pytest.mark.parametrize("cal", CALIBRATIONS[:4], ids=["floats", "fractions", "decimals", "ints"])
@pytest.mark.parametrize(
    "encoder, screw", [(512, -1), (512, 1), (0, -1), (0, 1), (2**32 - 1, -1)], ids=["E512-", "E512+", "E0-", "E0+", "Emax"]
)
def test_speed_conversions_follow_python(m, lib, cal, encoder, screw):
    connect_fake(m, encoder=encoder, **cal)
    m._motor__BallScrew = screw
    m._motor__pm = False
    for pv, pa, pb in [(300, 1000, 1000), (0.0, 0.01, 0.01), (Fraction(1, 3), 2, 2.5), (-12, 0, 0)]:
        assert outcome(m._motor__convertMotorParameterToWavelength, pv, pa, pb) == outcome(ref_convert, m, pv, pa, pb)
    expected = outcome(lambda: ref_convert(m, 0.0, 0.01, 0.01) + ref_convert(m, 4900.0, 4900.0, 4900.0))
    assert outcome(lambda: m.getMotorParamters()[5:]) == expected


def test_an_integer_factor_of_zero_gives_positive_zero(m, lib):
    """With no encoder resolution and direction -1, 4 * E * s is the int 0."""
    connect_fake(m, encoder=0, **RISING)
    m._motor__BallScrew = -1
    m._motor__pm = False
    keep_profile(lib)[:] = [300, 1000, 1000]
    v, a, b = m.getVelocityParameter()
    assert math.copysign(1, v) == 1.0
    assert math.copysign(1, m.getMotorParamters()[8]) == 1.0


@pytest.mark.parametrize(
    "velocity, acceleration, deceleration",
    [
        (1, 2, 3),
        (Fraction(1, 3), Fraction(7, 2), 3.5),
        (decimal.Decimal("1.5"), 1, 1),
        (1.0, complex(1, 0), 1.0),
        (b"1", 1, 1),
        (np.float32(0.7), np.float64(2.5), np.int32(3)),
        (10**400, 1, 1),
    ],
    ids=repr,
)
def test_profile_written_is_the_expression_on_the_objects(m, lib, velocity, acceleration, deceleration):
    connect_fake(m, **RISING)
    m._motor__pm = False
    keep_profile(lib)
    args = [as_plain(v) for v in (velocity, acceleration, deceleration)]
    # The requested velocity is kept as a 32-bit float before the conversion.
    expected = outcome(lambda: (ctypes.c_float(velocity), ref_profile(m, *args))[1])
    try:
        m.setVelocityParameter(velocity, acceleration, deceleration)
    except Exception as e:  # noqa: BLE001
        assert expected == ("raises", type(e), str(e))
        assert not lib.called("VCS_SetPositionProfile")
        return
    written = [c.value for c in (m._motor__vMP, m._motor__aMP, m._motor__bMP)]
    assert (list, repr(written)) == expected


@pytest.mark.parametrize(
    "width", [0.5, 1, Fraction(1, 2), decimal.Decimal("0.5"), complex(0.5, 0), b"0.5", np.float32(0.5), -0.25],
    ids=repr,
)
def test_trigger_steps_are_the_expression_on_the_objects(m, lib, width):
    connect_fake(m, **RISING)
    m._motor__pm = False
    keep_profile(lib)[:] = [300, 1000, 1000]
    expected = outcome(ref_steps, m, as_plain(width))
    try:
        m.triggerParameter(width)
        error = None
    except Exception as e:  # noqa: BLE001
        error = ("raises", type(e), str(e))
    calls = lib.called("VCS_SetPositionCompareParameter")
    if expected[0] == "raises":
        assert error == expected and not calls
        return
    if not 1 <= int(expected[1]) <= 65535:  # the interval field cannot hold it: refused up front
        assert error is not None and error[1] is ValueError and not calls
        return
    assert (int, repr(calls[0].values()[5])) == expected
    # The confirmation formats the width as given (a Fraction cannot before 3.12).
    printed = outcome("{:.2f}".format, width)
    assert error == (printed if printed[0] == "raises" else None)


@pytest.mark.parametrize(
    "low, high",
    [(800.0, 760.0), (760.09, 800), (Fraction(7601, 10), 800), (decimal.Decimal("760.09"), decimal.Decimal("800")),
     (complex(760, 0), 800.0), (np.float32(760.1), 800.0), (10**20, 1)],
    ids=repr,
)
def test_range_word_is_the_expression_on_the_objects(m, low, high):
    got = outcome(lambda: m._motor__minmaxToHex(low, high).value)
    assert got == outcome(ref_range_word, as_plain(low), as_plain(high))


# --- the home position first ----------------------------------------------------------


@pytest.mark.parametrize("steps", [10, None, b"x", decimal.Decimal(5), complex(1, 1), "7"], ids=repr)
def test_step_guard_reads_the_home_position_before_touching_its_argument(m, steps):
    with pytest.raises(ConnectionError, match="Motor not connected"):
        m._motor__PositionSafetyCheck(steps)


# --- any 32-bit cell holds a coefficient word ------------------------------------------


def test_coefficient_words_are_read_with_bit_operations(m):
    rng = np.random.default_rng(12)
    words = [0, 0x80, 0x0B9F760A, 0x8831269F, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000] + [
        int(w) for w in rng.integers(0, 2**32, 300)
    ]
    for w in words:
        signed = w - 2**32 if w >= 2**31 else w
        expected = ref_coefficient(w)
        for cell in (ctypes.c_uint32(w), ctypes.c_int(signed), ctypes.c_int32(signed), ctypes.c_long(signed)):
            assert m._motor__hexToFloatForCoefficients(cell) == expected
            assert ref_coefficient(cell.value) == expected
    assert m._motor__hexToFloatForCoefficients(ctypes.c_int(-2010015084)) == m._motor__hexToFloatForCoefficients(
        ctypes.c_uint32(2284952212)
    )
    with pytest.raises(TypeError):
        m._motor__hexToFloatForCoefficients(ctypes.c_float(1.0))
