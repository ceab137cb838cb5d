"""The call wrapper: commands looked up on the library at every call,
arguments passed unchanged, failures printed and logged, never raised."""
import builtins
import ctypes
import sys

import pytest

from helpers.library import FakeLibrary, expect


def ref(m):
    return ctypes.byref(m._motor__pErrorCode)


def test_success_is_silent_and_returns_the_result(m, lib, capsys):
    lib.results["VCS_Store"] = 5
    assert m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m)) == 5
    lib.results["VCS_Store"] = -3  # any nonzero value counts as success
    assert m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m)) == -3
    assert capsys.readouterr().out == ""


def test_arguments_reach_the_library_unchanged(m, lib):
    node, cell = m._motor__NodeId, ctypes.c_int(3)
    r = ref(m)
    m._motor__dllCall("VCS_GetObject", 7, node, 8204, 1, cell, 4, r)
    call = lib.calls[-1]
    assert call.name == "VCS_GetObject"
    assert call.args[0] == 7 and call.args[1] is node and call.args[4] is cell and call.args[6] is r


def test_command_is_looked_up_on_the_current_library_at_every_call(m, lib):
    m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m))
    other = FakeLibrary()
    m.eposdll = other
    m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m))
    expect(lib, [("VCS_Store", [7, 0, ("ref", 0)])])
    expect(other, [("VCS_Store", [7, 0, ("ref", 0)])])


def test_failure_prints_one_line_with_code_and_library_text(m, lib, capsys):
    lib.results["VCS_SetEnableState"] = 0
    lib.error_codes["VCS_SetEnableState"] = 0x10000003
    lib.error_texts[0x10000003] = "Bad key handle"
    assert m._motor__dllCall("VCS_SetEnableState", 7, m._motor__NodeId, ref(m)) == 0
    assert capsys.readouterr().out == "VCS_SetEnableState failed with Code 268435459: Bad key handle\n"
    assert m._motor__pErrorCode.value == 0x10000003


def test_failure_goes_through_pythons_print(m, lib, monkeypatch):
    printed = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: printed.append(a))
    lib.results["VCS_Store"] = 0
    m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m))
    assert printed == [("VCS_Store failed with Code 268435457: Fake error 268435457",)]


def test_failure_with_support_data_appends_the_argument_text(m, lib, tmp_path, capsys):
    path = tmp_path / "support.txt"
    path.write_text("earlier\n")
    m._motor__generateSupportData = True
    m._motor__supportFilePath = str(path)
    m._motor__NodeId.value = 1
    lib.results["VCS_Store"] = 0
    lib.error_texts[0x10000001] = "Timeout"
    m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m))
    lib.results["VCS_OpenDevice"] = 0
    m._motor__dllCall("VCS_OpenDevice", b"EPOS2", b"USB", ctypes.c_short(-2), ref(m))
    assert path.read_text() == ("earlier\nFailed: VCS_Store: 7, 1: 268435457 Timeout\n"
                                "Failed: VCS_OpenDevice: b'EPOS2', b'USB', -2: 268435457 Timeout\n")


def test_byref_arguments_are_shown_by_their_text(m, lib, tmp_path):
    path = tmp_path / "support.txt"
    m._motor__generateSupportData = True
    m._motor__supportFilePath = str(path)
    lib.results["VCS_GetPositionIs"] = 0
    cell = ctypes.c_int(5)
    position = ctypes.byref(cell)
    m._motor__dllCall("VCS_GetPositionIs", 7, m._motor__NodeId, position, ref(m))
    assert path.read_text().startswith("Failed: VCS_GetPositionIs: 7, 0, " + str(position) + ": ")


def test_unwritable_support_file_raises_after_the_failure_line(m, lib, tmp_path, capsys):
    m._motor__generateSupportData = True
    m._motor__supportFilePath = str(tmp_path / "missing" / "support.txt")
    lib.results["VCS_Store"] = 0
    with pytest.raises(FileExistsError, match="^Support file not found.$") as err:
        m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m))
    assert isinstance(err.value.__context__, FileNotFoundError)
    assert capsys.readouterr().out.startswith("VCS_Store failed with Code")


def test_lookup_and_conversion_errors_propagate(m, lib):
    class Strict:
        def __getattr__(self, name):
            raise AttributeError(name)

    m.eposdll = Strict()
    with pytest.raises(AttributeError):
        m._motor__dllCall("VCS_Nope", 7, ref(m))

    class BadText(FakeLibrary):
        def VCS_GetErrorInfo(self, code, buf, size):
            ctypes.memmove(buf, b"\xff\xfe", 2)  # not UTF-8
            return 1

    m.eposdll = BadText()
    m.eposdll.results["VCS_Store"] = 0
    with pytest.raises(UnicodeDecodeError):
        m._motor__dllCall("VCS_Store", 7, m._motor__NodeId, ref(m))


# A real C library that has abs(): the process's own symbols on POSIX; on
# Windows, where ctypes.CDLL(None) is POSIX-only, the system's C runtime DLL.
C_LIBRARY = "msvcrt" if sys.platform == "win32" else None


def test_real_library_functions_are_called_through_ctypes(m, tmp_path):
    """With a real shared library, a command is a ctypes function called with
    the arguments' default conversions."""
    libc = ctypes.CDLL(C_LIBRARY)
    m.eposdll = libc
    assert m._motor__dllCall("abs", -5, ref(m)) == 5
    with pytest.raises(ctypes.ArgumentError):
        m._motor__dllCall("abs", 1.5, ref(m))


def test_a_real_librarys_commands_are_looked_up_as_getattr_would(m):
    """A ctypes library keeps each function in its __dict__ once asked for;
    what is put there later, on the library or on its class, is what runs."""
    class Library(ctypes.CDLL):
        pass

    libc = Library(C_LIBRARY)
    m.eposdll = libc
    for _ in range(3):
        assert m._motor__dllCall("abs", -5, ref(m)) == 5
    libc.abs = lambda *args: 42
    assert m._motor__dllCall("abs", -5, ref(m)) == 42
    del libc.abs
    assert m._motor__dllCall("abs", -5, ref(m)) == 5
    Library.abs = property(lambda self: lambda *args: 7)
    assert m._motor__dllCall("abs", -5, ref(m)) == 7
    del Library.abs
    Library.__getattribute__ = lambda self, name: (lambda *args: 9) if name == "abs" else object.__getattribute__(self, name)
    assert m._motor__dllCall("abs", -5, ref(m)) == 9
    del Library.__getattribute__
    assert m._motor__dllCall("abs", -5, ref(m)) == 5
