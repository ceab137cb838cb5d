"""The loader's Windows branch, run on any platform through a fake ctypes:
where ctypes offers WinDLL (Windows), the command library is loaded with the
Windows calling convention, CDLL never being used; elsewhere with CDLL."""
import os
import types

import pytest

import vostelmotor


def fake_ctypes(names, refuse=()):
    """A ctypes stand-in offering the loaders `names`; a loader records each
    path and raises OSError, as a failed load does, for paths in `refuse`."""
    used = []

    def loader(name):
        def load(path):
            used.append((name, path))
            if path in refuse:
                raise OSError("cannot load " + path)
            return types.SimpleNamespace(_name=path, loader=name)
        return load

    return types.SimpleNamespace(**{n: loader(n) for n in names}), used


def bare_motor():
    m = vostelmotor.motor.__new__(vostelmotor.motor)
    m.DLL_FILENAME = "EposCMD64.dll"
    return m


@pytest.mark.parametrize("names, expected", [
    (("WinDLL", "CDLL"), "WinDLL"),  # Windows
    (("CDLL",), "CDLL"),             # Linux, macOS
])
def test_the_library_is_loaded_with_the_platforms_convention(monkeypatch, names, expected):
    ct, used = fake_ctypes(names)
    monkeypatch.setattr(vostelmotor, "ct", ct)
    lib = bare_motor()._try_load(r"C:\lab\EposCMD64.dll")
    assert lib.loader == expected
    assert used == [(expected, r"C:\lab\EposCMD64.dll")]


def test_on_windows_the_search_goes_from_the_module_folder_to_the_bare_name(monkeypatch, tmp_path):
    beside = os.path.join(str(tmp_path), "EposCMD64.dll")
    ct, used = fake_ctypes(("WinDLL", "CDLL"), refuse={beside})
    monkeypatch.setattr(vostelmotor, "ct", ct)
    m = bare_motor()
    m._prompt_for_dll_and_copy = lambda folder: pytest.fail("asked although the library was found")
    lib = m.load_epos_dll(str(tmp_path))
    assert used == [("WinDLL", beside), ("WinDLL", "EposCMD64.dll")]
    assert lib._name == "EposCMD64.dll"
