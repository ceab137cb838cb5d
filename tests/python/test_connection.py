"""Opening and closing the controller, and the status queries."""
import ctypes

import pytest

from helpers.library import CALIBRATION_INDEX as CAL, HOME_INDEX
from helpers.library import answer, connect_fake, entry_call, expect, keep_entries, report_position


def factory_controller(m, lib, B=-0.0005, range_word=0x1DB01F40, home=0):
    words = {}
    for sub, coeff in ((1, 1e-11), (2, B), (3, 780.0)):
        words[(CAL, sub)] = m._motor__coefficientsToHex(coeff).value
    words[(CAL, 4)] = range_word
    words[(HOME_INDEX, 0)] = home
    keep_entries(lib, words)
    lib.results["VCS_OpenDevice"] = 42
    answer(lib, "VCS_GetIncEncoderParameter", 512, 1)
    answer(lib, "VCS_GetDcMotorParameter", 100, 200, 37)
    return words


def test_connect_sequence(m, lib):
    words = factory_controller(m, lib, home=-300)
    report_position(lib, 200)
    old_encoder = m._motor__pEncoderResolution
    assert m.connect() is True
    open_call, encoder_call = lib.calls[0], lib.calls[-1]

    def read(index, sub):
        return entry_call("VCS_GetObject", index, sub, words[(index, sub)], handle=42)

    expect(lib, [
        ("VCS_OpenDevice", [b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB0", ("ref", 0)]),
        ("VCS_SetEnableState", [42, 0, ("ref", 0)]),
        read(CAL, 1), read(CAL, 2), read(CAL, 3),
        ("VCS_GetPositionIs", [42, 0, ("ref", 200), ("ref", 0)]),
        read(HOME_INDEX, 0), read(CAL, 4),
        ("VCS_SetMaxProfileVelocity", [42, 0, 4900, ("ref", 0)]),
        ("VCS_SetMaxAcceleration", [42, 0, 4900, ("ref", 0)]),
        ("VCS_GetDcMotorParameter", [42, 0, ("ref", 100), ("ref", 200), ("ref", 37), ("ref", 0)]),
        ("VCS_SetDcMotorParameter", [42, 0, 790, 385, 37, ("ref", 0)]),
        ("VCS_GetIncEncoderParameter", [42, 0, ("ref", 512), ("ref", 1), ("ref", 0)]),
    ])
    assert open_call.args[-1]._obj is m._motor__pErrorCode
    enc, pol = encoder_call.args[2:4]
    assert enc._obj is m._motor__pEncoderResolution and enc._obj is not old_encoder
    assert pol._obj is m._motor__pInvertedPolarity
    assert m._motor__pEncoderResolution.value == 512
    assert m._motor__connection is True and m._motor__keyhandle == 42
    assert m._motor__CoeffB == -0.0005 and m.getWavelengthMinMax() == [760.0, 800.0]
    assert m._motor__offset == -500 and m._motor__BallScrew == -1


@pytest.mark.parametrize("port, sent", [("USB3", b"USB3"), ("USB\u00e9", "USB\u00e9".encode("utf-8"))])
def test_connect_passes_the_port_as_utf8(m, lib, port, sent):
    factory_controller(m, lib)
    assert m.connect(port) is True
    assert lib.calls[0].values()[3] == sent


@pytest.mark.parametrize("B, sign", [(0.0005, 1), (0.0, 0)])
def test_drive_direction_follows_b(m, lib, B, sign):
    factory_controller(m, lib, B=B)
    m.connect()
    assert m._motor__BallScrew == sign and type(m._motor__BallScrew) is int


def test_no_controller_attached(m, lib, capsys):
    lib.results["VCS_OpenDevice"] = 0
    lib.results["VCS_SetEnableState"] = 0
    assert m.connect() is False
    expect(lib, [("VCS_OpenDevice", [b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB0", ("ref", 0x10000001)]),
                 ("VCS_SetEnableState", [0, 0, ("ref", 0x10000001)])])
    out = capsys.readouterr().out.splitlines()
    assert [line.split(" failed")[0] for line in out] == ["VCS_OpenDevice", "VCS_SetEnableState"]
    assert m._motor__connection is False and m._motor__keyhandle == 0


@pytest.mark.parametrize("enable_results, connected", [([0, 0], False), ([0, 1], True)])
def test_enable_failure_clears_a_fault_and_enables_once_more(m, lib, enable_results, connected):
    factory_controller(m, lib)
    lib.results["VCS_OpenDevice"] = 42
    results = iter(enable_results)
    lib.results["VCS_SetEnableState"] = lambda args: next(results)
    assert m.connect() is connected
    assert lib.names()[:4] == ["VCS_OpenDevice", "VCS_SetEnableState", "VCS_ClearFault", "VCS_SetEnableState"]
    assert m._motor__connection is connected and (len(lib.calls) > 4) is connected


def test_open_that_raises_becomes_connection_error(m, lib):
    def boom(args):
        raise OSError("driver gone")

    lib.fill["VCS_OpenDevice"] = boom
    with pytest.raises(ConnectionError, match="^Couldn't connect to motor$") as err:
        m.connect()
    assert isinstance(err.value.__context__, OSError)
    with pytest.raises(ConnectionError, match="^Couldn't connect to motor$") as err:
        m.connect("\ud800")
    assert isinstance(err.value.__context__, UnicodeEncodeError)
    assert m._motor__connection is False


def test_ctrl_c_while_opening_is_not_turned_into_a_connection_error(m, lib):
    def interrupt(args):
        raise KeyboardInterrupt

    lib.fill["VCS_OpenDevice"] = interrupt
    with pytest.raises(KeyboardInterrupt):
        m.connect()


def test_unusable_calibration_leaves_the_object_connected(m, lib):
    factory_controller(m, lib)
    words = {(CAL, 1): m._motor__coefficientsToHex(1e-9).value, (CAL, 2): 0,
             (CAL, 3): m._motor__coefficientsToHex(790.0).value, (CAL, 4): 0x1DB01F40}
    keep_entries(lib, words)  # no real root at 780 nm
    with pytest.raises(ValueError, match="^No coefficients found$") as err:
        m.connect()
    assert "discriminant" in str(err.value.__context__)
    assert m._motor__connection is True
    assert "VCS_SetMaxProfileVelocity" not in lib.names()


def test_later_failures_are_only_reported(m, lib, capsys):
    factory_controller(m, lib)
    for name in ("VCS_SetMaxProfileVelocity", "VCS_SetMaxAcceleration"):
        lib.results[name] = 0
    assert m.connect() is True
    assert capsys.readouterr().out.count("failed with Code") == 2


@pytest.mark.parametrize("command, nth, what", [
    ("VCS_GetObject", 1, "the calibration coefficients"),
    ("VCS_GetObject", 3, "the calibration coefficients"),
    ("VCS_GetPositionIs", 1, "the position or the stored model position"),
    ("VCS_GetObject", 4, "the position or the stored model position"),
    ("VCS_GetObject", 5, "the wavelength range"),
    ("VCS_GetIncEncoderParameter", 1, "the encoder resolution"),
])
def test_a_failed_read_closes_and_raises(m, lib, command, nth, what):
    factory_controller(m, lib)
    calls = []
    lib.results[command] = lambda args: 0 if calls.append(1) or len(calls) == nth else 1
    with pytest.raises(ConnectionError, match="^Couldn't read %s from the motor" % what):
        m.connect()
    assert m._motor__connection is False
    assert lib.names()[-1] == "VCS_CloseDevice" and lib.called("VCS_CloseDevice")[0].values()[0] == 42


def test_disconnect(m, lib, capsys):
    connect_fake(m)
    m.disconnect()
    expect(lib, [("VCS_Store", [7, 0, ("ref", 0)]), ("VCS_SetDisableState", [7, 0, ("ref", 0)]),
                 ("VCS_CloseDevice", [7, ("ref", 0)])])
    assert m._motor__connection is False and m._motor__keyhandle == 7
    assert capsys.readouterr().out == "disconnected\n"
    m.disconnect()
    expect(lib, [])
    assert capsys.readouterr().out == ""


def test_disconnect_resets_a_reversed_motion_trigger_first(m, lib):
    connect_fake(m)
    m._motor__revMotionTrigger = True
    m.disconnect()
    expect(lib, [("VCS_DigitalOutputConfiguration", [7, 0, 3, 15, 0, 0, 0, ("ref", 0)]),
                 ("VCS_Store", [7, 0, ("ref", 0)]), ("VCS_SetDisableState", [7, 0, ("ref", 0)]),
                 ("VCS_CloseDevice", [7, ("ref", 0)])])
    assert m._motor__revMotionTrigger is True


# --- status -------------------------------------------------------------------

def test_new_object_status(m, lib):
    assert m.getMoving() is False
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.getWavelength()
    expect(lib, [])
    m._motor__moving = True
    assert m.getMoving() is True


def test_wavelength_adds_the_offset_before_converting(m, lib):
    connect_fake(m, offset=-1500)
    report_position(lib, 4000)
    wl = m.getWavelength()
    (call,) = lib.calls
    expect(lib, [("VCS_GetPositionIs", [7, 0, ("ref", 4000), ("ref", 0)])])
    assert ctypes.sizeof(call.args[2]._obj) == 4
    assert wl == m._motor__motorpositionToWavelength(2500)
    m._motor__offset = 0
    assert m.getWavelength() == m._motor__motorpositionToWavelength(4000)


def test_current_is_reported_raw_even_unconnected(m, lib):
    answer(lib, "VCS_GetCurrentIs", -123)
    assert m.getCurrent() == -123
    (call,) = lib.calls
    assert call.values()[:2] == [0, 0] and type(call.args[2]._obj) is ctypes.c_short
    lib.results["VCS_GetCurrentIs"] = 0
    lib.fill.clear()
    assert m.getCurrent() == 0
