"""Wavelength <-> model position, the range guards, and calibration with its
offset between controller and model positions."""
import ctypes

import numpy as np
import pytest

from helpers.library import HOME_INDEX, connect_fake, entry_call, expect, keep_entries, report_position

HOME = (HOME_INDEX, 0)
RISING = dict(A=1e-9, B=0.002, C=780.0)


def serve_home(lib, values):
    """Home-position reads return `values` in turn; returns the list of reads made."""
    served = list(values)

    def fill(args):
        if (args[2], args[3]) == HOME:
            args[4]._obj.value = served.pop(0)

    lib.fill["VCS_GetObject"] = fill
    return served


def rising(m):
    connect_fake(m, **RISING)
    m._motor__pm = False
    return m


# --- conversions --------------------------------------------------------------


def test_conversions_match_the_model_evaluated_in_python(m):
    """Bit for bit, for int and float positions and for both root branches."""
    rng = np.random.default_rng(7)
    for _ in range(2000):
        A, B, C = rng.uniform(-1e-8, 1e-8), rng.uniform(-2e-3, 2e-3), rng.uniform(400, 5000)
        connect_fake(m, A=A, B=B, C=C)
        x_float = rng.uniform(-1e6, 1e6)
        x_int = int(rng.integers(-2**31, 2**31))
        for x in (x_float, x_int):
            assert m._motor__motorpositionToWavelength(x) == A * x**2 + B * x + C
        for x in rng.uniform(-1e6, 1e6, 50).tolist():  # x**2 is pow here, not x*x
            assert m._motor__motorpositionToWavelength(x) == A * x**2 + B * x + C
        wl = C + rng.uniform(-30, 30)
        for pm in (True, False):
            m._motor__pm = pm
            d = B**2 - 4 * A * (C - wl)
            if d < 0:
                with pytest.raises(ValueError):
                    m._motor__wavelengthToMotorposition(wl)
                continue
            s = np.sqrt(d)
            root = (-B - s) / (2 * A) if pm else (-B + s) / (2 * A)
            assert m._motor__wavelengthToMotorposition(wl) == int(np.round(root))

def test_worked_example_790nm(m):
    rising(m)
    assert m._motor__wavelengthToMotorposition(790.0) == 4988
    assert type(m._motor__wavelengthToMotorposition(790)) is int
    assert m._motor__motorpositionToWavelength(4988) == pytest.approx(790.000880, abs=5e-7)


def test_position_zero_gives_c_exactly(m):
    connect_fake(m, C=779.999232)
    assert m._motor__motorpositionToWavelength(0) == 779.999232
    assert type(m._motor__motorpositionToWavelength(0)) is float


def test_roots_round_half_to_even_on_the_chosen_branch(m):
    connect_fake(m, A=1.0, B=0.0, C=0.0)
    m._motor__pm = False
    assert [m._motor__wavelengthToMotorposition(w) for w in (6.25, 12.25)] == [2, 4]
    m._motor__pm = True
    assert [m._motor__wavelengthToMotorposition(w) for w in (6.25, 12.25)] == [-2, -4]


def test_unreachable_wavelength(m):
    rising(m)
    with pytest.raises(ValueError, match=r"^No real roots: The discriminant is negative\.$"):
        m._motor__wavelengthToMotorposition(-1e9)


@pytest.mark.parametrize("A, B, C", [(0.0, 0.0, 0.0), (0.0, 0.002, 780.0)])
def test_without_quadratic_term_the_int_conversion_fails_like_int(m, A, B, C):
    connect_fake(m, A=A, B=B, C=C)
    with np.errstate(all="ignore"):
        root = (-B - np.sqrt(B ** 2 - 4 * A * (C - 790.0))) / np.float64(2 * A)
    with pytest.raises(Exception) as expected:
        int(np.round(root))
    with pytest.raises(type(expected.value), match="^%s$" % expected.value):
        m._motor__wavelengthToMotorposition(790.0)


def test_large_positions_come_back_exactly(m):
    connect_fake(m, A=1e-30, B=0.0, C=0.0)
    m._motor__pm = False
    expected = int(np.round((0.0 + np.sqrt(0.0 - 4 * 1e-30 * (0.0 - 1e10))) / (2 * 1e-30)))
    assert expected > 2 ** 64
    assert m._motor__wavelengthToMotorposition(1e10) == expected


def test_wavelength_guard_clamps_silently(m, capsys):
    connect_fake(m, lo=760.0, hi=800.0)
    check = m._motor__wlSafetyCheck
    assert (check(700), check(759.999), check(800.0001), check(1e9)) == (760.0, 760.0, 800.0, 800.0)
    assert check(760.0) == 760.0 and check(800.0) == 800.0
    assert check(790) == 790 and type(check(790)) is int
    assert capsys.readouterr().out == ""


# --- step guard ----------------------------------------------------------------

def test_step_guard_rising_calibration(m, lib):
    rising(m)
    minPos = m._motor__wavelengthToMotorposition(760.0)
    maxPos = m._motor__wavelengthToMotorposition(800.0)
    assert minPos < 0 < maxPos
    serve_home(lib, [100])
    assert m._motor__PositionSafetyCheck(500) == 500
    # A bound is measured from a fresh read of the stored position.
    serve_home(lib, [100, 130])
    assert m._motor__PositionSafetyCheck(-10 ** 6) == minPos - 130
    serve_home(lib, [100, 90])
    assert m._motor__PositionSafetyCheck(10 ** 6) == maxPos - 90
    assert [c.values()[2:4] for c in lib.calls] == [[HOME_INDEX, 0]] * 5


def test_step_guard_returns_an_int_for_a_float_request(m, lib):
    rising(m)
    serve_home(lib, [0])
    result = m._motor__PositionSafetyCheck(12.7)
    assert result == 12 and type(result) is int


def test_step_guard_falling_calibration_limits_the_real_displacement(m, lib):
    # Factory calibration: wavelength falls as the position grows, and the
    # drive moves __BallScrew (-1) times the returned steps.
    connect_fake(m)
    assert m._motor__BallScrew == -1
    p_min = m._motor__wavelengthToMotorposition(760.0)
    p_max = m._motor__wavelengthToMotorposition(800.0)
    assert p_max < 0 < p_min
    home = 1000
    for request in (5000, -5000, 10 ** 7, -(10 ** 7)):
        serve_home(lib, [home, home])
        steps = m._motor__PositionSafetyCheck(request)
        target = home + m._motor__BallScrew * steps
        if p_max <= home - request <= p_min:
            assert steps == request
        else:
            assert target in (p_min, p_max)
        wl = m._motor__motorpositionToWavelength(target)
        assert 760.0 - 1e-3 <= wl <= 800.0 + 1e-3


def test_step_guard_needs_a_connection(m, lib):
    rising(m)
    m._motor__connection = False
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m._motor__PositionSafetyCheck(10)
    expect(lib, [])


# --- calibration and offset ------------------------------------------------------

def test_calibration_stores_the_position_and_derives_the_offset(m, lib, capsys):
    connect_fake(m)
    entries = keep_entries(lib)
    report_position(lib, 12345)
    m.calibration(779.5)
    mp = m._motor__wavelengthToMotorposition(779.5)
    write, position = lib.calls[:2]
    expect(lib, [entry_call("VCS_SetObject", *HOME, mp), ("VCS_GetPositionIs", [7, 0, ("ref", 12345), ("ref", 0)]),
                 entry_call("VCS_GetObject", *HOME, mp)])
    assert type(write.args[4]._obj) is ctypes.c_int
    assert position.args[2]._obj is m._motor__pPositionIs
    assert entries[HOME] == mp and m._motor__offset == mp - 12345
    assert capsys.readouterr().out == "wavelength set to 779.50nm\n"
    # The present place now reads as the calibrated wavelength, to within a step.
    here = m._motor__motorpositionToWavelength(12345 + m._motor__offset)
    step = abs(m._motor__motorpositionToWavelength(mp + 1) - m._motor__motorpositionToWavelength(mp))
    assert abs(here - 779.5) <= step


def test_calibration_beyond_the_range_calibrates_the_limit(m, lib, capsys):
    connect_fake(m)
    entries = keep_entries(lib)
    m.calibration(900)
    assert entries[HOME] == m._motor__wavelengthToMotorposition(800.0)
    assert capsys.readouterr().out == "wavelength set to 800.00nm\n"


def test_calibration_to_an_unreachable_wavelength_writes_nothing(m, lib):
    connect_fake(m, A=1e-9, B=0.0, C=790.0)
    with pytest.raises(ValueError, match="^No real roots"):
        m.calibration(780.0)
    expect(lib, [])


def test_home_position_is_a_signed_cell(m, lib):
    connect_fake(m)
    serve_home(lib, [-4242])
    home = m._motor__HomePosition()
    assert type(home) is ctypes.c_int and home.value == -4242
    kh, node, index, sub, ref, size, nbytes, err = lib.calls[0].args
    assert (lib.calls[0].name, kh, index, sub, size) == ("VCS_GetObject", 7, HOME_INDEX, 0, 4)
    assert ref._obj is home and type(nbytes._obj) is ctypes.c_int


def test_unconnected_calibration_home_and_offset(m, lib):
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.calibration(780.0)
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m._motor__HomePosition()
    expect(lib, [])
    m._motor__offset = 17
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m._motor__calculateOffset()
    expect(lib, [("VCS_GetPositionIs", [0, 0, ("ref", 0), ("ref", 0)])])
    assert m._motor__offset == 17


def test_offset_after_failed_reads_uses_untouched_cells(m, lib, capsys):
    connect_fake(m)
    lib.results["VCS_GetObject"] = 0
    report_position(lib, -250)
    m._motor__calculateOffset()
    assert m._motor__offset == 250
    assert "VCS_GetObject failed" in capsys.readouterr().out
