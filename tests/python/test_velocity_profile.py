"""The speed profile in nm/s and nm/s^2, the motor currents, and the
parameter report built on the same conversion."""
import ctypes

import pytest

from helpers.library import answer, connect_fake, expect, keep_profile

ENCODER = 512


def connected(m):
    # The centre of 770..800 nm lies off position 0, so the two slopes differ.
    connect_fake(m, lo=770.0, hi=800.0, encoder=ENCODER)
    return m


def slopes(m):
    A, B = m._motor__CoeffA, m._motor__CoeffB
    xMP = m._motor__wavelengthToMotorposition((m._motor__maxWavelength + m._motor__minWavelength) / 2)
    return 2 * A * xMP + B, 0.6666666666666666 * A * xMP + B


def to_motor(m, velocity, acceleration):
    kv, ka = slopes(m)
    s = m._motor__BallScrew
    return velocity / kv * 60 / (4 * ENCODER) * s, acceleration / ka * 60 / (4 * ENCODER) * s


def to_wavelength(m, pv, pa):
    kv, ka = slopes(m)
    s = m._motor__BallScrew
    return pv * kv / 60 * (4 * ENCODER * s), pa * ka / 60 * 4 * ENCODER * s


def written(lib):
    (call,) = lib.called("VCS_SetPositionProfile")
    return call.values()[2:5]


def test_set_sequence_and_values(m, lib, capsys):
    connected(m)
    keep_profile(lib)
    m.setVelocityParameter(0.9, 2, 3.5)
    v, a = to_motor(m, 0.9, 2)
    _, b = to_motor(m, 0.9, 3.5)
    assert 0 < v < 4900 and v % 1 and 0 < a < 4900
    assert all(type(c) is ctypes.c_int32 for c in (m._motor__vMP, m._motor__aMP, m._motor__bMP))
    assert lib.called("VCS_SetPositionProfile")[0].args[2] is m._motor__vMP
    kept = [("ref", int(v)), ("ref", int(a)), ("ref", int(b)), ("ref", 0)]
    expect(lib, [("VCS_ActivateProfilePositionMode", [7, 0, ("ref", 0)]),
                 ("VCS_SetPositionProfile", [7, 0, int(v), int(a), int(b), ("ref", 0)])]
           + [("VCS_GetPositionProfile", [7, 0] + kept)] * 3)
    back_v, back_a = to_wavelength(m, int(v), int(a))
    _, back_b = to_wavelength(m, int(v), int(b))
    assert capsys.readouterr().out == "changed velocity parameter to {:.2f}nm/s, {:.2f}nm/s^2 and {:.2f}nm/s^2\n".format(
        back_v, back_a, back_b)


def test_same_number_for_velocity_and_acceleration_gives_different_motor_values(m, lib):
    connect_fake(m, A=1e-9, B=0.002, lo=770.0, hi=800.0, encoder=ENCODER)
    m._motor__pm = False
    m.setVelocityParameter(100, 100, 100)
    v, a, b = written(lib)
    assert v != a and a == b
    assert [v, a] == [int(x) for x in to_motor(m, 100, 100)]


def test_limits_and_truncation(m, lib, capsys):
    connected(m)
    keep_profile(lib)
    m.setVelocityParameter(1e6, -0.5, 1e9)
    assert written(lib) == [4900, 0, 4900]
    assert m.currentVelocityWL.value == ctypes.c_float(1e6).value
    assert type(m.currentVelocityWL) is ctypes.c_float
    shown = to_wavelength(m, 4900, 0)[0]
    assert capsys.readouterr().out.startswith("changed velocity parameter to {:.2f}nm/s, 0.00nm/s^2".format(shown))
    lib.calls.clear()
    m.setVelocityParameter(-0.5, 0.001, 0.0)
    assert written(lib) == [0, 0, 0]


def test_read_back_differs_only_by_whole_rpm(m, lib):
    connected(m)
    keep_profile(lib)
    m.setVelocityParameter(0.75, 3.0, 4.0)
    v, a, b = m.getVelocityParameter()
    one_rpm_v, one_rpm_a = (abs(x) for x in to_wavelength(m, 1, 1))
    assert 0 <= 0.75 - v < one_rpm_v
    assert 0 <= 3.0 - a < one_rpm_a and 0 <= 4.0 - b < one_rpm_a


def test_get_converts_what_the_controller_holds(m, lib):
    connected(m)
    profile = keep_profile(lib)
    profile[:] = [1000, 250, -40]
    result = m.getVelocityParameter()
    (call,) = lib.calls
    assert all(type(r._obj) is ctypes.c_int for r in call.args[2:5])
    expected_v, expected_a = to_wavelength(m, 1000, 250)
    assert result == (expected_v, expected_a, to_wavelength(m, 1000, -40)[1])
    lib.results["VCS_GetPositionProfile"] = 0
    lib.fill.clear()
    assert m.getVelocityParameter() == (0.0, 0.0, 0.0)


def test_without_encoder_resolution_the_division_fails_before_writing(m, lib):
    connected(m)
    m._motor__pEncoderResolution = ctypes.c_uint32(0)
    with pytest.raises(ZeroDivisionError):
        m.setVelocityParameter(1.0, 1.0, 1.0)
    expect(lib, [("VCS_ActivateProfilePositionMode", [7, 0, ("ref", 0)])])
    assert m.currentVelocityWL.value == 1.0


@pytest.mark.parametrize("undefined", [0, 1, 2], ids=["velocity", "acceleration", "deceleration"])
def test_undefined_speed_fails_like_int_before_writing(m, lib, undefined):
    """The values before the undefined one are stored in turn, as int() does them."""
    connected(m)
    speeds = [20.9, 3.3, 3.3]
    speeds[undefined] = float("nan")
    before = [m._motor__vMP, m._motor__aMP, m._motor__bMP]
    with pytest.raises(ValueError, match="^cannot convert float NaN to integer$"):
        m.setVelocityParameter(*speeds)
    assert "VCS_SetPositionProfile" not in lib.names()
    after = [m._motor__vMP, m._motor__aMP, m._motor__bMP]
    assert [a is b for a, b in zip(after, before)] == [i >= undefined for i in range(3)]
    assert all(type(a) is ctypes.c_int32 and a.value > 0 for a in after[:undefined])


def test_motor_currents(m, lib):
    connected(m)
    answer(lib, "VCS_GetDcMotorParameter", 11, 22, 33)
    m._motor__DCMotorParameter()
    assert all(type(r._obj) is ctypes.c_short for r in lib.calls[0].args[2:5])
    expect(lib, [("VCS_GetDcMotorParameter", [7, 0, ("ref", 11), ("ref", 22), ("ref", 33), ("ref", 0)]),
                 ("VCS_SetDcMotorParameter", [7, 0, 790, 385, 33, ("ref", 0)])])


def test_profile_needs_a_connection(m, lib):
    for call in (lambda: m.setVelocityParameter(1, 1, 1), m.getVelocityParameter, m._motor__DCMotorParameter):
        with pytest.raises(ConnectionError, match="^Motor not connected$"):
            call()
    expect(lib, [])
    assert not hasattr(m, "currentVelocityWL")


# --- parameter report ----------------------------------------------------------

def test_parameter_report(m, lib):
    connected(m)
    report = m.getMotorParamters()
    expect(lib, [])
    assert len(report) == 11
    assert report[:5] == (m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC, 770.0, 800.0)
    assert report[5:8] == to_wavelength(m, 0.0, 0.01) + (to_wavelength(m, 0.0, 0.01)[1],)
    assert report[8:11] == to_wavelength(m, 4900.0, 4900.0) + (to_wavelength(m, 4900.0, 4900.0)[1],)
    assert report == m.getMotorParamters()


def test_parameter_report_before_any_calibration_fails_in_the_conversion(m, lib):
    with pytest.raises(ValueError, match="NaN"):
        m.getMotorParamters()
    expect(lib, [])
