"""The vendor's Linux command library (libEposCmd.so, mostly with a version
suffix): looked for in the usual places once no EposCMD64.dll is found, before
the user is asked; and called with the widths of its C declarations (a 64-bit
key handle and target), where a Python int alone would pass as a 32-bit int.
Our simulated controller, copied under the vendor's Linux name, stands in for
the library."""
import ctypes
import os
import shutil
import subprocess
import sys
import types

import pytest

import vostelmotor
from helpers.paths import BUILD, SIM_LIBRARY

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="the vendor's Linux library (on Windows only EposCMD64.dll is looked for)")

SYSTEM_FOLDERS = ("/usr/local/lib/", "/opt/EposCmdLib", "/usr/lib/")


def bare_motor():
    m = vostelmotor.motor.__new__(vostelmotor.motor)
    m.DLL_FILENAME = "EposCMD64.dll"
    return m


def simulator_as(path):
    if not os.path.exists(SIM_LIBRARY):
        pytest.skip("simulated controller not built")
    path.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(SIM_LIBRARY, path)
    return str(path)


def test_search_order_beside_the_module_by_name_on_the_search_path_then_system_folders(tmp_path, monkeypatch):
    package, libs = tmp_path / "package", tmp_path / "libs"
    for folder, names in ((package, ["libEposCmd.so.6.9.1", "libEposCmd.so.6.10.0", "libEposCmd.so", "other.so"]),
                          (libs, ["libEposCmd.so.6.8.0"])):
        folder.mkdir()
        for name in names:
            (folder / name).write_bytes(b"not a library")
    (package / "libEposCmd.so.6.11.0").symlink_to(package / "missing")  # a dangling link is skipped
    monkeypatch.setenv("LD_LIBRARY_PATH", os.pathsep.join([str(libs), "", str(tmp_path / "none")]))
    tried, asked = [], []
    m = bare_motor()
    m._try_load = lambda path: tried.append(path)
    m._prompt_for_dll_and_copy = lambda target: asked.append(target) or None
    with pytest.raises(ImportError) as err:
        m.load_epos_dll(str(package))
    here = [p for p in tried if p.startswith(str(tmp_path)) or os.sep not in p]
    assert here == [str(package / "EposCMD64.dll"), "EposCMD64.dll",
                    str(package / "libEposCmd.so"), str(package / "libEposCmd.so.6.10.0"),
                    str(package / "libEposCmd.so.6.9.1"), "libEposCmd.so", str(libs / "libEposCmd.so.6.8.0")]
    assert tried[:len(here)] == here
    assert all(p.startswith(SYSTEM_FOLDERS) for p in tried[len(here):])
    assert asked == [str(package)]
    assert "Could not load 'EposCMD64.dll' from:\n    " + str(package / "EposCMD64.dll") in str(err.value)


@pytest.mark.parametrize("place", ["package", "search path"])
def test_the_linux_library_is_loaded_before_asking(tmp_path, monkeypatch, place):
    package = tmp_path / "package"
    package.mkdir()
    folder = package if place == "package" else tmp_path / "libs"
    expected = simulator_as(folder / "libEposCmd.so.6.2.0")
    monkeypatch.setenv("LD_LIBRARY_PATH", str(folder))
    m = bare_motor()
    m._prompt_for_dll_and_copy = lambda target: pytest.fail("asked although the library is there")
    m.eposdll = m.load_epos_dll(str(package))
    assert m.eposdll._name == expected
    error = ctypes.c_uint32()
    assert m._motor__dllCall("VCS_OpenDevice", b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB0",
                             ctypes.byref(error)) > 0


def test_the_plain_name_is_found_by_the_loaders_own_search(tmp_path):
    libs = tmp_path / "libs"
    simulator_as(libs / "libEposCmd.so")
    code = ("import sys; sys.path.insert(0, %r)\nimport vostelmotor\n"
            "m = vostelmotor.motor.__new__(vostelmotor.motor); m.DLL_FILENAME = 'EposCMD64.dll'\n"
            "m._prompt_for_dll_and_copy = lambda d: print('ASKED')\n"
            "print(m.load_epos_dll(%r)._name)\n") % (BUILD, str(tmp_path))
    # Read by the system's loader at start: a folder of its own that this search does not scan.
    env = dict(os.environ, LD_LIBRARY_PATH=str(libs))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert out.stdout.split() == ["libEposCmd.so"], out.stderr


class LinuxLibrary:
    """Three commands with the vendor's Linux declarations, reached through
    pointers that declare nothing, as a loaded library's functions do until the
    loader declares them. Records what arrives."""

    HANDLE = 0x7F3A_1234_5678  # a heap address above 4 GiB, as the library's handles are

    def __init__(self):
        self.received = []
        u32p = ctypes.POINTER(ctypes.c_uint)
        self._callbacks = [
            ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                             ctypes.c_char_p, u32p)(lambda *args: self.HANDLE),
            ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_ushort, u32p)(
                lambda handle, node, error: self.received.append(("enable", handle, node)) or 1),
            ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_ushort, ctypes.c_long, ctypes.c_int,
                             ctypes.c_int, u32p)(
                lambda handle, node, target, absolute, now, error:
                    self.received.append(("move", handle, node, target, absolute, now)) or 1),
        ]
        undeclared = ctypes.CFUNCTYPE(ctypes.c_int)
        for name, callback in zip(("VCS_OpenDevice", "VCS_SetEnableState", "VCS_MoveToPosition"), self._callbacks):
            setattr(self, name, undeclared(ctypes.cast(callback, ctypes.c_void_p).value))


def test_handle_and_target_reach_the_library_at_their_full_width(monkeypatch):
    library = LinuxLibrary()
    monkeypatch.setattr(ctypes, "CDLL", lambda path: library)  # the module's ct is ctypes
    m = bare_motor()
    m.eposdll = m._try_load("libEposCmd.so")
    error, node = ctypes.c_uint32(), ctypes.c_ushort(1)
    handle = m._motor__dllCall("VCS_OpenDevice", b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB0", ctypes.byref(error))
    assert handle == LinuxLibrary.HANDLE
    m._motor__dllCall("VCS_SetEnableState", handle, node, ctypes.byref(error))
    for target in (-40000, 2 ** 33 + 5):
        m._motor__dllCall("VCS_MoveToPosition", handle, node, target, 0, 1, ctypes.byref(error))
    assert library.received == [("enable", handle, 1), ("move", handle, 1, -40000, 0, 1),
                                ("move", handle, 1, 2 ** 33 + 5, 0, 1)]


# Every command the module sends, with the number of places the library declares.
COMMANDS = {
    "VCS_OpenDevice": 5, "VCS_CloseDevice": 2, "VCS_SetEnableState": 3, "VCS_SetDisableState": 3, "VCS_Store": 3,
    "VCS_ClearFault": 3, "VCS_SetQuickStopState": 3, "VCS_SetMaxProfileVelocity": 4, "VCS_SetMaxAcceleration": 4,
    "VCS_GetIncEncoderParameter": 5, "VCS_GetDcMotorParameter": 6, "VCS_SetDcMotorParameter": 6,
    "VCS_ActivateProfilePositionMode": 3, "VCS_SetPositionProfile": 6, "VCS_GetPositionProfile": 6,
    "VCS_MoveToPosition": 6, "VCS_WaitForTargetReached": 4, "VCS_GetMovementState": 4, "VCS_GetPositionIs": 4,
    "VCS_GetCurrentIs": 4, "VCS_GetAllDigitalInputs": 4, "VCS_GetState": 4, "VCS_DigitalOutputConfiguration": 8,
    "VCS_ActivatePositionCompare": 5, "VCS_EnablePositionCompare": 3, "VCS_DisablePositionCompare": 3,
    "VCS_DeactivatePositionCompare": 4, "VCS_SetPositionCompareParameter": 9, "VCS_GetObject": 8,
    "VCS_SetObject": 8, "VCS_GetErrorInfo": 3,
}


def converts_in_c(from_param):
    """A from_param that is a C function of its own: a ctypes type's, or a
    plain one with no object behind it. A Python function, or a function of
    a binding layer that dispatches through an object of its own, is not."""
    return isinstance(from_param, types.BuiltinFunctionType) and (
        from_param.__self__ is None or isinstance(from_param.__self__, type))


def test_every_declared_place_converts_in_c_and_as_an_undeclared_one_would(tmp_path):
    m = bare_motor()
    lib = m._try_load(simulator_as(tmp_path / "libEposCmd.so"))
    handed_on = {}
    for name, places in COMMANDS.items():
        argtypes = getattr(lib, name).argtypes
        if name in ("VCS_OpenDevice", "VCS_GetErrorInfo"):  # no handle among their arguments
            assert argtypes is None, name
            continue
        assert argtypes is not None and len(argtypes) == places, name
        assert argtypes[0] is ctypes.c_void_p, name
        wide = {2: ctypes.c_long} if name == "VCS_MoveToPosition" else {}
        for place, argtype in enumerate(argtypes[1:], 1):
            assert converts_in_c(argtype.from_param), (name, place, argtype.from_param)
            if place in wide:
                assert argtype is wide[place], (name, place)
            else:
                handed_on[id(argtype)] = argtype
    # The other places hand the argument back to ctypes' own conversion: what
    # an undeclared place accepts (a cell by value of any width, a reference
    # to any cell, bytes, an int) and refuses (a float) stays so.
    (hand_on,) = handed_on.values()
    cell, short = ctypes.c_uint32(), ctypes.c_short(-2)
    for argument in (7, b"EPOS2", short, ctypes.byref(cell), None, 1.5):
        assert hand_on.from_param(argument) is argument
    node = ctypes.c_ushort(1)
    assert lib.VCS_GetCurrentIs(1, node, ctypes.byref(short), ctypes.byref(cell)) in (0, 1)
    with pytest.raises(ctypes.ArgumentError):
        lib.VCS_GetCurrentIs(1, node, 1.5, ctypes.byref(cell))
