"""The position-compare trigger and the motion trigger on digital output 3,
against the fake library."""
import ctypes

import pytest

from helpers.library import answer, connect_fake, expect

KEY, NODE = 7, 0


def ref(value):
    return ("ref", value)


def output3(state, mask, polarity):
    return ("VCS_DigitalOutputConfiguration", [KEY, NODE, 3, 15, state, mask, polarity, ref(0)])


def position_compare(key):
    """Switching the position-compare output on and off again."""
    return [("VCS_ActivatePositionCompare", [key, NODE, 3, 0, ref(0)]),
            ("VCS_EnablePositionCompare", [key, NODE, ref(0)]),
            ("VCS_DisablePositionCompare", [key, NODE, ref(0)]),
            ("VCS_DeactivatePositionCompare", [key, NODE, 3, ref(0)])]


# --- motion trigger -------------------------------------------------------

def test_reverse_motion_trigger_toggles_level_and_message(m, lib, capsys):
    connect_fake(m)
    m.reverseMotionTrigger()
    assert m._motor__revMotionTrigger is True
    m.reverseMotionTrigger()
    assert m._motor__revMotionTrigger is False
    expect(lib, [output3(1, 1, 0), output3(1, 1, 1)])
    assert capsys.readouterr().out == "trigger set to 5V while standing\ntrigger set to 5V while moving\n"


def test_reverse_motion_trigger_needs_a_connection(m, lib):
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.reverseMotionTrigger()
    assert m._motor__revMotionTrigger is False
    expect(lib, [])


@pytest.mark.parametrize("reversed_, on, off", [(False, output3(1, 1, 0), output3(0, 1, 0)),
                                                (True, output3(1, 1, 1), output3(1, 1, 0))])
@pytest.mark.parametrize("kind", [2, 2.0])
def test_motion_trigger_levels(m, lib, reversed_, on, off, kind):
    connect_fake(m)
    m._motor__revMotionTrigger = reversed_
    m._motor__activateTriggerOutput(kind)
    m._motor__deactivateTriggerOutput(kind)
    expect(lib, [on, off])


def test_dispatchers_by_kind(m, lib):
    connect_fake(m)
    m._motor__activateTriggerOutput(0)
    m._motor__deactivateTriggerOutput(0)
    expect(lib, [])
    m._motor__activateTriggerOutput(1)
    m._motor__deactivateTriggerOutput(1)
    expect(lib, position_compare(KEY))



# --- position-compare trigger ----------------------------------------------

def test_position_trigger_commands_without_a_connection(m, lib):
    m._motor__activatePositionTrigger()
    m._motor__deactivatePositionTrigger()
    expect(lib, position_compare(0))


def compare_parameters(lib):
    (call,) = lib.called("VCS_SetPositionCompareParameter")
    assert isinstance(call.args[5], ctypes.c_int)
    return call.values()[2:8]


def test_trigger_parameter_worked_example(m, lib, capsys):
    # A = 0 and B = -0.0001 with a negative drive sign: g = 0.0001 nm per step.
    connect_fake(m, A=0.0, B=-0.0001)
    m._motor__wavelengthToMotorposition = lambda wl: 0
    answer(lib, "VCS_GetPositionProfile", 300, 0, 0)
    m.triggerParameter(0.5)
    compare_parameters(lib)
    expect(lib, [("VCS_GetPositionProfile", [KEY, NODE, ref(300), ref(0), ref(0), ref(0)]),
                 ("VCS_SetPositionCompareParameter", [KEY, NODE, 1, 2, 2, 5000, 0, 500, ref(0)])])
    assert m._dutyCycle == pytest.approx(0.1024, rel=1e-15)
    assert capsys.readouterr().out == "trigger interval width is set to 0.50nm\n"


def test_trigger_parameter_slope_at_the_middle_of_the_range(m, lib):
    connect_fake(m, A=1e-8, B=0.0001, lo=770.0, hi=790.0)
    asked = []
    m._motor__wavelengthToMotorposition = lambda wl: asked.append(wl) or 10000
    answer(lib, "VCS_GetPositionProfile", 120, 0, 0)
    m.triggerParameter(0.25)
    # g = 2 * 1e-8 * 10000 + 0.0001 = 0.0003 nm per step: 833.3 steps cut to 833
    assert asked == [780.0]
    assert compare_parameters(lib)[3] == 833


@pytest.mark.parametrize("width, steps", [
    (0, "0"), (0.0001, "0.333333"), (-0.25, "-833.333"), (19.6608, "65536"), (2 ** 70, "3.93531e+24"),
    (float("inf"), "inf"), (float("nan"), "nan")])
def test_widths_the_interval_cannot_take_are_refused_before_anything_is_sent(m, lib, capsys, width, steps):
    connect_fake(m, A=0.0, B=0.0003)
    m._motor__wavelengthToMotorposition = lambda wl: 0
    with pytest.raises(ValueError) as info:
        m.triggerParameter(width)
    assert str(info.value) == ("interval width %r" % width + "nm is " + steps + " steps; the position-compare "
                               "interval takes 1 to 65535 steps (0.0003 to 19.6605nm here)")
    expect(lib, [])
    assert not hasattr(m, "_dutyCycle")
    assert capsys.readouterr().out == ""


def test_trigger_parameter_needs_a_connection(m, lib):
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.triggerParameter(0.5)
    expect(lib, [])


def test_width_is_divided_as_python_divides_it(m, lib):
    import decimal
    connect_fake(m, A=0.0, B=0.0003)
    m._motor__wavelengthToMotorposition = lambda wl: 0
    m.triggerParameter(1)  # an int width is fine
    assert compare_parameters(lib)[3] == int(1 / 0.0003)
    for width in ("0.5", decimal.Decimal("0.5")):
        with pytest.raises(TypeError, match="unsupported operand type"):
            m.triggerParameter(width)
