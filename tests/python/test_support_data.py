"""generateSupportData: the folder dialog, the header and snapshot records,
and the records the call wrapper, supervision and recovery append."""
import ctypes
import datetime as real_datetime
import re
import sys
import types

import pytest

import vostelmotor
from helpers.dialogs import Dialogs
from helpers.library import answer, connect_fake, expect
from helpers.drive import FakeDrive, Sleeps, wire_model

FILE = "SupportData_VostelMotorControl.txt"
HEADER = re.compile(r"Support Data File VostelMotorControl - Generated on "
                    r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{6})?\n")


def controller_reads(lib, pv=1200, pa=800, pb=900, inputs=2, state=1):
    answer(lib, "VCS_GetPositionProfile", pv, pa, pb)
    answer(lib, "VCS_GetAllDigitalInputs", inputs)
    answer(lib, "VCS_GetState", state)


BLOCK = ("Keyhandle: 7\nState: 1\nCoefficent A: 1e-11\nCoefficent B: -0.0005\nCoefficent C: 780.0\n"
         "EncoderResolution: 512\nWavelengthrange: 790.0nm to 770.0nm\nMotorposition Offset: -35\n"
         "MotorPosition: -123\nMotorVelocity: 1200\nMotorAcceleration/Deceleration: 800/900\n"
         "Digitalinputs (Limitswitches): 2\n")


def test_connected_snapshot_appended_at_every_call(m, lib, monkeypatch, tmp_path, capsys):
    connect_fake(m, lo=770.0, hi=790.0, offset=-35)
    m._motor__pPositionIs.value = -123
    controller_reads(lib)
    dialogs = Dialogs(picked=str(tmp_path)).install(monkeypatch)
    assert m.generateSupportData() is None
    m.generateSupportData()

    path = tmp_path / FILE
    assert m._motor__supportFilePath == str(path)
    assert m._motor__generateSupportData is True
    assert dialogs.log[:3] == [("Tk",), ("withdraw",),
                               ("askdirectory", (), {"title": "Select location to save support data"})]
    assert lib.names() == ["VCS_GetPositionProfile", "VCS_GetAllDigitalInputs", "VCS_GetState"] * 2
    assert capsys.readouterr().out == (
        "Support data collection enabled. File will be saved to: %s\n" % path) * 2
    assert HEADER.sub("HEADER\n", path.read_text()) == ("HEADER\n" + BLOCK) * 2


def test_header_time_has_microseconds_only_when_nonzero(m, lib, monkeypatch, tmp_path):
    connect_fake(m)
    Dialogs(picked=str(tmp_path)).install(monkeypatch)
    times = iter([real_datetime.datetime(2026, 12, 7, 8, 5, 9), real_datetime.datetime(2026, 12, 7, 8, 5, 9, 1500)])

    class Clock:
        @staticmethod
        def now():
            return next(times)

    monkeypatch.setitem(sys.modules, "datetime", types.SimpleNamespace(datetime=Clock))
    m.generateSupportData()
    m.generateSupportData()
    headers = [line for line in (tmp_path / FILE).read_text().splitlines() if line.startswith("Support Data")]
    assert [h.split(" on ")[1] for h in headers] == ["2026-12-07 08:05:09", "2026-12-07 08:05:09.001500"]


def test_without_a_connection_the_file_says_so_and_the_call_raises(m, lib, monkeypatch, tmp_path):
    Dialogs(picked=str(tmp_path)).install(monkeypatch)
    for name in ("VCS_GetPositionProfile", "VCS_GetAllDigitalInputs", "VCS_GetState"):
        lib.results[name] = 0
    lib.error_codes["VCS_GetState"] = 0x10000003
    with pytest.raises(ConnectionError, match="^Please connect motor$"):
        m.generateSupportData()
    lines = (tmp_path / FILE).read_text().split("\n")
    assert [line.split(":")[0] for line in lines[:3]] == ["Failed"] * 3
    assert lines[2].startswith("Failed: VCS_GetState: 0, 0, <cparam 'P' (")
    assert lines[2].endswith(")>: 268435459 Fake error 268435459")
    assert HEADER.match(lines[3] + "\n")
    assert lines[4:] == ["No connection to motor", ""]

    # The next record starts a line of its own.
    lib.results["VCS_ClearFault"] = 0
    m._motor__dllCall("VCS_ClearFault", 0, m._motor__NodeId, ctypes.byref(m._motor__pErrorCode))
    assert (tmp_path / FILE).read_text().endswith("No connection to motor\nFailed: VCS_ClearFault: 0, 0: "
                                                  "268435457 Fake error 268435457\n")


@pytest.mark.parametrize("chosen_before", [False, True], ids=["never chosen", "chosen before"])
def test_cancelled_dialog_keeps_collection_on_only_with_a_file(m, lib, monkeypatch, tmp_path, capsys, chosen_before):
    connect_fake(m)
    dialogs = Dialogs(picked=str(tmp_path)).install(monkeypatch)
    if chosen_before:
        m.generateSupportData()
    capsys.readouterr()
    lib.calls.clear()
    dialogs.picked = ""
    assert m.generateSupportData() is None
    assert capsys.readouterr().out == "No location for support data selected.\n"
    expect(lib, [])
    assert m._motor__generateSupportData is chosen_before
    assert m._motor__supportFilePath == (str(tmp_path / FILE) if chosen_before else "")

    # A move of 25 polls: two samples in the file when it is on, none and no
    # error when it is off.
    drive = FakeDrive(lib, polls_per_move=25)
    wire_model(m)
    Sleeps(monkeypatch)
    m.moveSteps(10)
    assert drive.position == -10 and m._motor__moving is False  # the factory drive runs backwards
    text = (tmp_path / FILE).read_text() if chosen_before else ""
    assert text.count("Position: -10, Current: 0\n") == 2 * chosen_before


def test_dialog_that_cannot_open_leaves_collection_off(m, lib, monkeypatch):
    class NoDisplay(Exception):
        pass

    def no_display():
        raise NoDisplay("no display name")

    monkeypatch.setattr(vostelmotor, "tk", types.SimpleNamespace(Tk=no_display))
    with pytest.raises(NoDisplay):
        m.generateSupportData()
    assert m._motor__generateSupportData is False
    expect(lib, [])


def test_unwritable_snapshot(m, lib, monkeypatch, tmp_path):
    connect_fake(m)
    Dialogs(picked=str(tmp_path / "removed")).install(monkeypatch)
    with pytest.raises(FileExistsError, match="^Support file not found.$") as info:
        m.generateSupportData()
    assert isinstance(info.value.__context__, FileNotFoundError)


def test_header_is_written_before_a_snapshot_value_fails(m, lib, monkeypatch, tmp_path):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    connect_fake(m)
    m._motor__CoeffA = Unprintable()
    Dialogs(picked=str(tmp_path)).install(monkeypatch)
    with pytest.raises(FileExistsError, match="^Support file not found.$") as info:
        m.generateSupportData()
    assert isinstance(info.value.__context__, RuntimeError)
    assert HEADER.fullmatch((tmp_path / FILE).read_text())
