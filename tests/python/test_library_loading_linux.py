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
