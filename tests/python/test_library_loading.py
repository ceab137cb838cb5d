"""Finding the command library: beside the module, on the loader's search
path, or picked by the user in a dialog and copied beside the module."""
import ctypes
import os
import subprocess
import sys
import time

import pytest

import vostelmotor
from helpers.dialogs import Dialogs
from helpers.display import run_x, screenshot, wait_for_window, window_gone
from helpers.paths import BUILD

SITE = "https://www.maxongroup.com"


def real_library():
    """A loadable shared library to stand in for the vendor's file."""
    sim = os.path.join(BUILD, "EposCMD64.dll")
    return sim if os.path.exists(sim) else vostelmotor.__file__


def bare_motor():
    """A motor object without running __init__ (no library needed yet)."""
    m = vostelmotor.motor.__new__(vostelmotor.motor)
    m.DLL_FILENAME = "EposCMD64.dll"
    return m


def missing_text(path):
    return ("\n[Error] Could not load 'EposCMD64.dll' from:\n    " + path +
            "\n\nThis DLL is required for usage,\nplease download 'EposCMD64.dll' from Maxon (" + SITE +
            ")\n and place it in the same folder as vostelmotor.py.\n\n")


def test_library_beside_the_module_is_loaded_without_a_dialog(tmp_path, monkeypatch):
    dialogs = Dialogs().install(monkeypatch)
    import shutil
    shutil.copy(real_library(), tmp_path / "EposCMD64.dll")
    lib = bare_motor().load_epos_dll(str(tmp_path))
    assert lib._name == os.path.join(str(tmp_path), "EposCMD64.dll")
    assert dialogs.log == []


def test_default_folder_is_the_module_folder(monkeypatch):
    tried = []
    m = bare_motor()
    m._try_load = lambda path: tried.append(path) or "lib"
    assert m.load_epos_dll() == "lib"
    assert tried == [os.path.join(os.path.dirname(vostelmotor.__file__), "EposCMD64.dll")]


@pytest.mark.fresh_process_on_windows
def test_search_order_asks_once_and_names_the_package_path(tmp_path, monkeypatch):
    tried, asked = [], []
    m = bare_motor()
    m._try_load = lambda path: tried.append(path)
    m._prompt_for_dll_and_copy = lambda target: asked.append(target) or "/picked/EposCMD64.dll"
    with pytest.raises(ImportError) as err:
        m.load_epos_dll(str(tmp_path))
    expected = os.path.join(str(tmp_path), "EposCMD64.dll")
    assert tried[:2] == [expected, "EposCMD64.dll"] and tried[-1] == "/picked/EposCMD64.dll"
    # On Linux the vendor's Linux library is looked for in between (test_library_loading_linux.py).
    linux = [os.path.basename(p).startswith("libEposCmd.so") for p in tried[2:-1]]
    assert linux == ([True] * len(linux) if sys.platform.startswith("linux") else [])
    assert "libEposCmd.so" in tried or not sys.platform.startswith("linux")
    assert asked == [str(tmp_path)]
    assert str(err.value) == missing_text(expected)


def load_by_bare_name(tmp_path, before_import=""):
    """In a fresh interpreter, with the library only in tmp_path/libs, which is
    on PATH and LD_LIBRARY_PATH: what load_epos_dll of an empty folder gives
    (the loaded library's name, or ASKED when the dialog would come up)."""
    import shutil
    libdir = tmp_path / "libs"
    libdir.mkdir(parents=True)
    shutil.copy(real_library(), libdir / "EposCMD64.dll")
    empty = tmp_path / "empty"
    empty.mkdir()
    code = ("import os, sys; sys.path.insert(0, %r)\n" + before_import + "\nimport vostelmotor\n"
            "m = vostelmotor.motor.__new__(vostelmotor.motor); m.DLL_FILENAME = 'EposCMD64.dll'\n"
            "m._prompt_for_dll_and_copy = lambda d: print('ASKED')\n"
            "print(m.load_epos_dll(%r)._name)\n") % (BUILD, str(empty))
    env = dict(os.environ, LD_LIBRARY_PATH=str(libdir), PATH=str(libdir) + os.pathsep + os.environ["PATH"])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    return out.stdout.strip(), out.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="Windows: ctypes (3.8+) does not search PATH for a bare name")
def test_library_on_the_search_path_is_found_by_bare_name(tmp_path):
    found, err = load_by_bare_name(tmp_path)
    assert found == "EposCMD64.dll", err


@pytest.mark.skipif(sys.platform != "win32", reason="the Windows DLL search")
def test_on_windows_the_bare_name_takes_the_dll_search_not_path(tmp_path):
    """A folder only on PATH is not searched (ctypes, Python 3.8+); one added
    with os.add_dll_directory before the import is."""
    found, err = load_by_bare_name(tmp_path)
    assert found.splitlines()[-1:] == ["ASKED"], err
    found, err = load_by_bare_name(tmp_path / "added", "os.add_dll_directory(%r)" % str(tmp_path / "added" / "libs"))
    assert found == "EposCMD64.dll", err


def test_picked_file_with_other_letter_case_is_copied_under_the_canonical_name(tmp_path, monkeypatch):
    import shutil
    source = tmp_path / "downloads" / "EPOSCMD64.DLL"
    source.parent.mkdir()
    shutil.copy(real_library(), source)
    package = tmp_path / "not" / "yet" / "there"
    dialogs = Dialogs(picked=str(source)).install(monkeypatch)
    m = bare_motor()
    m._try_load = lambda path, real=m._try_load: None if path != os.path.join(str(package), "EposCMD64.dll") or \
        not os.path.exists(path) else real(path)
    lib = m.load_epos_dll(str(package))
    copied = package / "EposCMD64.dll"
    assert copied.exists() and lib._name == str(copied)
    assert os.path.getmtime(copied) == pytest.approx(os.path.getmtime(source))
    assert dialogs.kinds() == ["Tk", "withdraw", "showinfo", "askopenfilename", "destroy"]
    assert dialogs.log[2][1:] == (("Missing DLL", "Please download 'EposCMD64.dll' from Maxon (" + SITE + ")\n"), {})
    assert dialogs.log[3][2] == {"title": "Select EposCMD64.dll", "filetypes": [("DLL files", "*.dll")]}


def test_wrongly_named_pick_shows_an_error_and_copies_nothing(tmp_path, monkeypatch):
    source = tmp_path / "other.dll"
    source.write_bytes(b"x")
    dialogs = Dialogs(picked=str(source)).install(monkeypatch)
    package = tmp_path / "pkg"
    assert bare_motor()._prompt_for_dll_and_copy(str(package)) is None
    assert dialogs.log[-1] == ("showerror", ("Error", "Selected file must be named 'EposCMD64.dll'"), {})
    assert not package.exists()


@pytest.mark.fresh_process_on_windows
def test_cancel_ends_in_import_error_without_error_box(tmp_path, monkeypatch):
    dialogs = Dialogs(picked="").install(monkeypatch)
    with pytest.raises(ImportError) as err:
        bare_motor().load_epos_dll(str(tmp_path))
    assert str(err.value) == missing_text(os.path.join(str(tmp_path), "EposCMD64.dll"))
    assert "showerror" not in dialogs.kinds() and os.listdir(tmp_path) == []


@pytest.mark.fresh_process_on_windows
def test_unloadable_pick_is_copied_then_reported(tmp_path, monkeypatch):
    source = tmp_path / "src" / "EposCMD64.dll"
    source.parent.mkdir()
    source.write_bytes(b"not a library")
    Dialogs(picked=str(source)).install(monkeypatch)
    package = tmp_path / "pkg"
    with pytest.raises(ImportError) as err:
        bare_motor().load_epos_dll(str(package))
    assert str(package / "EposCMD64.dll") in str(err.value)
    assert (package / "EposCMD64.dll").read_bytes() == b"not a library"


@pytest.mark.fresh_process_on_windows
def test_motor_creation_fails_when_no_library_is_found(tmp_path, monkeypatch):
    Dialogs(picked="").install(monkeypatch)

    class Elsewhere(vostelmotor.motor):
        def load_epos_dll(self, package_dir=None):
            return vostelmotor.motor.load_epos_dll(self, str(tmp_path))

    with pytest.raises(ImportError, match="Could not load 'EposCMD64.dll'"):
        Elsewhere()


def test_try_load_uses_the_module_level_ctypes_and_swallows_only_ordinary_errors(monkeypatch):
    class Loader:
        def __init__(self, error):
            self.error = error

        def CDLL(self, path):
            raise self.error

        WinDLL = CDLL

    monkeypatch.setattr(vostelmotor, "ct", Loader(OSError("cannot open")))
    assert bare_motor()._try_load("x") is None
    monkeypatch.setattr(vostelmotor, "ct", Loader(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        bare_motor()._try_load("x")


def test_development_build_finds_the_simulated_controller_beside_the_module(sim_motor, sim):
    assert os.path.samefile(sim_motor.eposdll._name, sim.path)
    err = sim_motor._motor__pErrorCode
    assert sim_motor._motor__dllCall("VCS_OpenDevice", b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB0",
                                     ctypes.byref(err)) > 0


@pytest.mark.fresh_process_on_windows
def test_without_a_display_the_missing_library_is_reported_in_words(tmp_path, monkeypatch):
    dialogs = Dialogs().install(monkeypatch)

    def no_display():
        raise dialogs.tk.TclError("no display name and no $DISPLAY environment variable")

    dialogs.tk.Tk = no_display
    with pytest.raises(ImportError, match="Could not load 'EposCMD64.dll'"):
        bare_motor().load_epos_dll(str(tmp_path))
    assert dialogs.log == []


PICK_IN_REAL_DIALOGS = """import sys
sys.path.insert(0, sys.argv[1])
import vostelmotor
m = vostelmotor.motor.__new__(vostelmotor.motor); m.DLL_FILENAME = "EposCMD64.dll"
print("loaded", m.load_epos_dll(sys.argv[2])._name, flush=True)
"""


def test_real_dialogs_ask_for_the_library_and_copy_the_pick(tmp_path, display):
    """The message box and the file dialog the toolkit really shows (native
    ones on Windows), answered with X input: the picked file is copied beside
    the module and loaded from there."""
    vendor = tmp_path / "vendor"
    vendor.mkdir()
    picked = vendor / "EposCMD64.dll"
    import shutil
    shutil.copy(real_library(), picked)
    package = tmp_path / "package"
    package.mkdir()
    child = subprocess.Popen([sys.executable, "-c", PICK_IN_REAL_DIALOGS, BUILD, str(package)],
                             env=dict(os.environ, DISPLAY=display), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
    try:
        box = wait_for_window("Missing DLL")
        time.sleep(1)  # until it takes keys
        screenshot("missing-library", box)
        for _ in range(5):  # OK, once the box takes keys
            run_x(["xdotool", "windowfocus", "--sync", box, "key", "Return"])
            if window_gone(box):
                break
        assert window_gone(box), "the message box stayed"
        dialog = wait_for_window("Select EposCMD64.dll")
        for _ in range(5):  # the file name field takes keys once the dialog has filled its lists
            time.sleep(1)
            screenshot("select-library", dialog)
            run_x(["xdotool", "windowfocus", "--sync", dialog])
            run_x(["xdotool", "key", "--repeat", "200", "BackSpace"])
            run_x(["xdotool", "type", "--delay", "5", str(picked)])
            run_x(["xdotool", "key", "Return"])
            if window_gone(dialog):
                break
        output, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    copied = os.path.join(str(package), "EposCMD64.dll")
    assert child.returncode == 0, output
    assert output.splitlines()[-1] == "loaded " + copied, output
    with open(copied, "rb") as a, open(str(picked), "rb") as b:
        assert a.read() == b.read()
