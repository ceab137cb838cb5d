"""`--simulated`: the simulated controller that the wheel carries (or a
development build made), loaded only on request, with its memory in the
user's data folder."""
import os
import subprocess
import sys

import pytest

import vostelmotor
from helpers.paths import BUILD, ROOT
from simcontrol import SimulatedController
from vostelmotor_lab import simulated

HOME = os.path.join(os.sep, "home", "ada")


@pytest.mark.parametrize("platform, environ, expected", [
    ("linux", {}, os.path.join(HOME, ".local", "share")),
    ("linux", {"XDG_DATA_HOME": os.path.join(os.sep, "data", "ada")}, os.path.join(os.sep, "data", "ada")),
    ("linux", {"XDG_DATA_HOME": "relative/data"}, os.path.join(HOME, ".local", "share")),
    ("win32", {"LOCALAPPDATA": r"C:\Users\ada\AppData\Local"}, r"C:\Users\ada\AppData\Local"),
    ("win32", {}, os.path.join(HOME, "AppData", "Local")),
    ("darwin", {"XDG_DATA_HOME": "/ignored"}, os.path.join(HOME, "Library", "Application Support")),
])
def test_the_data_folder_follows_the_platform(platform, environ, expected):
    assert simulated._data_folder(platform, environ, HOME) == expected


# The user's data folder comes from XDG_DATA_HOME on Linux, LOCALAPPDATA on Windows.
DATA_HOME = "LOCALAPPDATA" if sys.platform == "win32" else "XDG_DATA_HOME"
own_data_folder = pytest.mark.skipif(sys.platform not in ("linux", "win32"), reason="macOS: the data folder is fixed")


@own_data_folder
def test_state_file_is_the_chosen_one_or_in_the_data_folder(tmp_path, monkeypatch):
    monkeypatch.setenv("VOSTEL_SIM_STATE", str(tmp_path / "mine.txt"))
    assert simulated.state_file() == str(tmp_path / "mine.txt")
    monkeypatch.delenv("VOSTEL_SIM_STATE")
    monkeypatch.setenv(DATA_HOME, str(tmp_path))
    assert simulated.state_file() == str(tmp_path / "vostelmotor" / "simulated_controller_state.txt")


def test_library_path_prefers_the_shipped_file_then_a_development_build(tmp_path, monkeypatch):
    package = tmp_path / "vostelmotor_lab"
    package.mkdir()
    monkeypatch.setattr(simulated, "_PACKAGE_DIR", str(package))
    monkeypatch.setattr(sys, "path", [p for p in sys.path if not os.path.isfile(
        os.path.join(p or os.curdir, "vostelmotor_lab", simulated.FILE_NAME))])
    # Installed without the file: say so.
    with pytest.raises(FileNotFoundError, match="missing from this installation"):
        simulated.library_path()
    # A checkout without a build: say how to build.
    (tmp_path / "simulator").mkdir()
    (tmp_path / "simulator" / "epos_sim.h").write_text("")
    with pytest.raises(FileNotFoundError, match="not built in this checkout"):
        simulated.library_path()
    built = tmp_path / "build-3.11" / "python" / "EposCMD64.dll"
    built.parent.mkdir(parents=True)
    built.write_bytes(b"")
    assert simulated.library_path() == str(built)
    elsewhere = tmp_path / "site" / "vostelmotor_lab" / simulated.FILE_NAME  # an installed copy
    elsewhere.parent.mkdir(parents=True)
    elsewhere.write_bytes(b"")
    monkeypatch.syspath_prepend(str(tmp_path / "site"))
    assert simulated.library_path() == str(elsewhere)
    shipped = package / simulated.FILE_NAME
    shipped.write_bytes(b"")
    assert simulated.library_path() == str(shipped)


def test_simulated_motor_connects_and_moves_on_the_simulator(tmp_path, monkeypatch, capsys):
    state = tmp_path / "state.txt"
    monkeypatch.setenv("VOSTEL_SIM_STATE", str(state))
    path = simulated.library_path()
    sim = SimulatedController.fresh(path, str(state))
    monkeypatch.setattr(vostelmotor, "sleep", sim.advance)
    Motor = simulated.simulated(vostelmotor.motor)
    assert issubclass(Motor, vostelmotor.motor) and Motor.__name__ == "SimulatedMotor"
    m = Motor()
    Motor()
    assert capsys.readouterr().out == "simulated controller: %s (state file %s)\n" % (path, state)
    assert os.path.samefile(m.eposdll._name, path)
    assert m.connect() is True
    assert m.moveToWavelength(790.0) == pytest.approx(790.0, abs=1e-3)
    m.disconnect()
    assert "0x2081.0" in state.read_text()
    sim.reset(forget_stored=True)


@own_data_folder
def test_without_a_chosen_state_file_the_data_folder_one_is_made_and_used(tmp_path, monkeypatch):
    monkeypatch.setenv("VOSTEL_SIM_STATE", "")  # restored, with its absence, after the test
    monkeypatch.setenv(DATA_HOME, str(tmp_path / "data"))
    simulated.simulated(vostelmotor.motor)()
    expected = tmp_path / "data" / "vostelmotor" / "simulated_controller_state.txt"
    assert os.environ["VOSTEL_SIM_STATE"] == str(expected)
    assert expected.parent.is_dir()


@pytest.mark.skipif(sys.platform != "win32" and not os.path.exists("/proc/self/maps"), reason="needs /proc/self/maps")
def test_nothing_of_the_simulator_is_loaded_unless_asked_for(tmp_path):
    code = """if True:
        import os, sys
        sys.path.insert(0, %r); sys.path.append(%r)
        import vostelmotor, vostelmotor_lab, vostelmotor_lab.drive

        class Quiet(vostelmotor.motor):
            def _prompt_for_dll_and_copy(self, target_dir):
                return None

        try:
            Quiet()
        except ImportError:
            pass

        def loaded(path):
            if sys.platform == "win32":  # the process's module list, by file name
                import ctypes
                get = ctypes.WinDLL("kernel32", use_last_error=True).GetModuleHandleW
                get.restype = ctypes.c_void_p
                return bool(get(os.path.basename(path)))
            return path in open("/proc/self/maps").read()

        print("imported:", sorted(m for m in ("vostelmotor_lab.simulated", "simcontrol") if m in sys.modules))
        from vostelmotor_lab import simulated
        shipped = simulated.FILE_NAME
        print("before:", loaded(shipped))
        simulated.simulated(vostelmotor.motor)()
        print("after:", loaded(os.path.realpath(simulated.library_path())))
    """ % (BUILD, ROOT)
    env = dict(os.environ, VOSTEL_SIM_STATE=str(tmp_path / "state.txt"))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = [line for line in out.stdout.splitlines() if not line.startswith("simulated controller:")]
    assert lines == ["imported: []", "before: False", "after: True"]
