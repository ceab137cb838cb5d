"""The calibration kept in the controller: object-dictionary access, the
coefficient and range words, reading the calibration and writing a new one."""
import ctypes
import math

import pytest

import vostelmotor
from helpers.library import CALIBRATION_INDEX as CAL, HOME_INDEX as HOME
from helpers.library import connect_fake, entry_call, expect, fail_when, keep_entries

A, B = 1e-11, -0.0005

WORD_TABLE = [
    (780.0, 0x0B9F760A, 779.999232),
    (0.0015, 0x0BB80089, 0.0015),
    (-2.5e-10, 0x8831269F, -2.4999957531690596e-10),
    (1.0, 0x07A12001, 1.0),
    (-1.0, 0x87A12001, -1.0),
    (0.0, 0x00000000, 0.0),
]


def word(m, coeff):
    return m._motor__coefficientsToHex(coeff).value


def controller_with(m, lib, A=A, B=B, C=780.0, range_word=0x1DB01F40):
    """An object dictionary holding the words of a calibration."""
    return keep_entries(lib, {(CAL, 1): word(m, A), (CAL, 2): word(m, B), (CAL, 3): word(m, C), (CAL, 4): range_word})


# --- object dictionary ------------------------------------------------------

def test_entry_access_needs_a_connection(m, lib):
    cell = ctypes.c_uint32(5)
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m._motor__GetIndexValue(CAL, 1, cell)
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m._motor__SetIndexValue(CAL, 1, cell)
    expect(lib, [])
    assert cell.value == 5


def test_entry_read_passes_everything_in_order_and_returns_the_result(m, lib):
    connect_fake(m)
    lib.results["VCS_GetObject"] = 5
    cell = ctypes.c_uint32()
    assert m._motor__GetIndexValue(CAL, 1, cell) == 5
    (call,) = lib.calls
    assert call.name == "VCS_GetObject"
    kh, node, index, sub, ref, size, nbytes, err = call.args
    assert (kh, node.value, index, sub, size) == (7, 0, CAL, 1, 4)
    assert ref._obj is cell and err._obj is m._motor__pErrorCode
    assert isinstance(nbytes._obj, ctypes.c_int) and nbytes._obj is not cell


def test_failed_entry_write_returns_zero_and_only_reports(m, lib, capsys):
    connect_fake(m)
    lib.results["VCS_SetObject"] = 0
    assert m._motor__SetIndexValue(HOME, 0, ctypes.c_int(-3)) == 0
    expect(lib, [entry_call("VCS_SetObject", HOME, 0, -3, nbytes=0, error=0x10000001)])
    assert capsys.readouterr().out.startswith("VCS_SetObject failed with Code ")


# --- words through the module -------------------------------------------------

def test_word_table_through_the_module(m):
    for coeff, expected, decoded in WORD_TABLE:
        cell = m._motor__coefficientsToHex(coeff)
        assert type(cell) is ctypes.c_uint32 and cell.value == expected
        back = m._motor__hexToFloatForCoefficients(ctypes.c_uint32(expected))
        assert type(back) is float and back == decoded
    assert word(m, -0.0) == 0 and word(m, 3) == word(m, 3.0)
    assert m._motor__hexToFloatForCoefficients(ctypes.c_uint32(0x80)) == 0.0
    assert m._motor__minmaxToHex(800.0, 760.0).value == 0x1DB01F40
    assert m._motor__minmaxToHex(800, 760.09).value == 0x1DB01F40
    assert m._motor__minmaxToHex(-1.0, 760.0).value == 0xFFFFFFF6  # unchecked, kept to 32 bits


@pytest.mark.parametrize("bad", [math.inf, -math.inf, math.nan])
def test_non_finite_coefficient_raises_what_int_raises(m, bad):
    with pytest.raises(Exception) as expected:
        int(bad * 1000000)
    with pytest.raises(type(expected.value), match="^%s$" % str(expected.value)):
        m._motor__coefficientsToHex(bad)
    with pytest.raises(type(expected.value), match="^%s$" % str(expected.value)):
        m._motor__minmaxToHex(bad, 760.0)


def test_encoder_splits_with_the_module_frexp(m, monkeypatch):
    seen = []

    def frexp(x):
        seen.append(x)
        return (0.5, 1)

    monkeypatch.setattr(vostelmotor, "frexp", frexp)
    assert word(m, 1234.5) == 0x07A12001
    assert seen == [1234.5]


# --- reading the calibration ------------------------------------------------

def test_read_coefficients_in_order(m, lib):
    connect_fake(m, A=0.0, B=0.0, C=0.0)
    controller_with(m, lib, A=-2.5e-10, B=0.0015, C=780.0)
    m._motor__ReadMotorCoefficients()
    assert all(type(c.args[4]._obj) is ctypes.c_uint32 for c in lib.calls)
    expect(lib, [entry_call("VCS_GetObject", CAL, 1, word(m, -2.5e-10)),
                 entry_call("VCS_GetObject", CAL, 2, word(m, 0.0015)),
                 entry_call("VCS_GetObject", CAL, 3, word(m, 780.0))])
    assert (m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC) == (-2.4999957531690596e-10, 0.0015, 779.999232)


def test_one_failed_coefficient_read_changes_nothing(m, lib, capsys):
    connect_fake(m, A=1.0, B=2.0, C=3.0)
    controller_with(m, lib)
    fail_when(lib, "VCS_GetObject", lambda args: args[3] == 3)
    m._motor__ReadMotorCoefficients()
    assert len(lib.calls) == 3
    assert (m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC) == (1.0, 2.0, 3.0)
    assert capsys.readouterr().out.count("failed with Code") == 1


def read_range(m, lib, range_word, C=779.999232, A=A, B=B):
    connect_fake(m, A=A, B=B, C=C)
    keep_entries(lib, {(CAL, 4): range_word})
    m._motor__readWavelengthMinMax()


def test_range_in_tenths_of_a_nanometre(m, lib):
    read_range(m, lib, 0x1DB01F40)
    expect(lib, [entry_call("VCS_GetObject", CAL, 4, 0x1DB01F40)])
    assert m.getWavelengthMinMax() == [760.0, 800.0]
    assert m._motor__wavelengthRange == 20 and m._motor__QCL is False


def test_range_in_whole_nanometres_written_and_read_back(m, lib):
    connect_fake(m)
    entries = keep_entries(lib)
    m._motor__SetMotorCoefficients(A, B, 4700.0, 5000.0, 4500.0)
    assert entries[(CAL, 4)] == 0x11941388
    m._motor__ReadMotorCoefficients()
    m._motor__readWavelengthMinMax()
    assert m.getWavelengthMinMax() == [4500.0, 5000.0]
    assert m._motor__QCL is True and m._motor__wavelengthRange == 25


def test_whole_nanometres_from_c_4000_on_when_writing(m, lib):
    connect_fake(m)
    entries = keep_entries(lib)
    m._motor__SetMotorCoefficients(A, B, 4000, 4100, 3900)
    assert entries[(CAL, 4)] == (3900 << 16) | 4100
    m._motor__SetMotorCoefficients(A, B, 3999.9, 4100, 3900)
    assert entries[(CAL, 4)] == (39000 << 16) | 41000


@pytest.mark.parametrize("maxwl, half", [(801.0, 20), (803.0, 22)])
def test_half_range_rounds_half_to_even(m, lib, maxwl, half):
    read_range(m, lib, (7600 << 16) | int(maxwl * 10))
    assert m._motor__wavelengthRange == half and type(m._motor__wavelengthRange) is int


def test_empty_controller_reads_as_whole_nanometres_without_error(m, lib):
    read_range(m, lib, 0, A=0.0, B=0.0, C=0.0)
    assert m.getWavelengthMinMax() == [0.0, 0.0]
    assert m._motor__QCL is True and m._motor__wavelengthRange == 0 and m._motor__pm is True


def test_failed_range_read_decodes_as_zero(m, lib):
    connect_fake(m)
    lib.results["VCS_GetObject"] = 0
    m._motor__readWavelengthMinMax()
    assert m.getWavelengthMinMax() == [0.0, 0.0]


def test_negative_discriminant_at_the_centre(m, lib):
    with pytest.raises(ValueError, match=r"^No real roots: The discriminant is negative\.$"):
        read_range(m, lib, 0x1DB01F40, A=1e-9, B=0.0, C=790.0)
    assert m.getWavelengthMinMax() == [760.0, 800.0]
    assert m._motor__pm is True and m._motor__QCL is False
    assert not hasattr(m, "_motor__wavelengthRange")


def test_root_branch_only_ever_switches_to_plus(m, lib):
    read_range(m, lib, 0x1DB01F40, B=0.0005)  # rising: the plus root is the small one
    assert m._motor__pm is False
    read_range(m, lib, 0x1DB01F40, B=-0.0005)
    assert m._motor__pm is False
    m._motor__pm = True
    read_range(m, lib, 0x1DB01F40, A=0.0, B=0.002)  # A = 0: no error, no switch
    assert m._motor__pm is True


# --- writing a calibration ----------------------------------------------------

def test_new_calibration_writes_five_entries_in_order(m, lib):
    connect_fake(m)
    m._motor__SetMotorCoefficients(A, B, 780.0, 800.0, 760.0)
    assert type(lib.calls[4].args[4]._obj) is ctypes.c_int
    expect(lib, [entry_call("VCS_SetObject", CAL, 1, word(m, A), nbytes=0),
                 entry_call("VCS_SetObject", CAL, 2, word(m, B), nbytes=0),
                 entry_call("VCS_SetObject", CAL, 3, 0x0B9F760A, nbytes=0),
                 entry_call("VCS_SetObject", CAL, 4, 0x1DB01F40, nbytes=0),
                 entry_call("VCS_SetObject", HOME, 0, 0, nbytes=0)])
    assert m._motor__CoeffC == 780.0  # the object keeps its calibration


def test_failed_writes_do_not_stop_the_others(m, lib, capsys):
    connect_fake(m)
    fail_when(lib, "VCS_SetObject", lambda args: args[3] == 2)
    m._motor__SetMotorCoefficients(A, B, 780.0, 800.0, 760.0)
    assert len(lib.calls) == 5
    assert capsys.readouterr().out.count("failed with Code") == 1


@pytest.mark.parametrize("args, named", [
    ((math.nan, B, 780.0, 800.0, 760.0), "coefficient A"),
    ((A, math.inf, 780.0, 800.0, 760.0), "coefficient B"),
    ((A, B, 2.0 ** 127, 800.0, 760.0), "coefficient C"),
    ((2.0 ** -129, B, 780.0, 800.0, 760.0), "coefficient A"),
    ((A, 10 ** 400, 780.0, 800.0, 760.0), "coefficient B"),
    ((A, B, 780.0, 6553.6, 760.0), "maximum wavelength"),
    ((A, B, 780.0, 800.0, -0.1), "minimum wavelength"),
    ((A, B, 780.0, math.nan, 760.0), "maximum wavelength"),
    ((A, B, 4700.0, 700000.0, 4500.0), "maximum wavelength"),
    ((A, B, 4700.0, 10 ** 400, 4500.0), "maximum wavelength"),
    ((A, B, 780.0, 800.0, 10 ** 400), "minimum wavelength"),
])
def test_bad_calibration_is_rejected_before_anything_is_written(m, lib, args, named):
    connect_fake(m)
    with pytest.raises(ValueError, match=named):
        m._motor__SetMotorCoefficients(*args)
    expect(lib, [])


def test_format_limits_themselves_are_accepted(m, lib):
    connect_fake(m)
    m._motor__SetMotorCoefficients(2.0 ** -128, -(2.0 ** 126), 780.0, 6553.5, 0.0)
    assert len(lib.calls) == 5
    assert lib.calls[3].values()[4] == ("ref", 65535)


def test_calibration_data_needs_a_connection(m, lib):
    for call in (m._motor__ReadMotorCoefficients, m._motor__readWavelengthMinMax, m.getWavelengthMinMax,
                 lambda: m._motor__SetMotorCoefficients(A, B, 780.0, 800.0, 760.0)):
        with pytest.raises(ConnectionError, match="^Motor not connected$"):
            call()
    expect(lib, [])
