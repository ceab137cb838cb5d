"""The simulated controller, for trying the bench commands without the instrument
(`--simulated`).

The wheel carries our simulated EPOS2 controller in this package under a file
name of its own (FILE_NAME), which the module's search for the vendor's command
library never looks for, so it is loaded only through `simulated()`. In a
development checkout the development build's copy (EposCMD64.dll beside the
built module) serves instead.

Importing this module loads nothing; `simulated(cls)` gives a motor class that
loads the simulator, and keeps the simulator's memory (calibration, position)
in `state_file()`.
"""
import glob
import os
import sys

# The shipped simulator: a shared library of the platform's kind whose name
# neither the module's search (EposCMD64.dll, libEposCmd.so*) nor the import
# system (a hyphen) would ever take.
FILE_NAME = "vostel-simulated-controller" + {"win32": ".dll", "darwin": ".dylib"}.get(sys.platform, ".so")

# The development build's copy, beside the built module.
DEVELOPMENT_NAME = "EposCMD64.dll"

STATE_FILE_NAME = "simulated_controller_state.txt"

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
_announced = set()


def _checkout():
    """The repository root when this package runs from a development checkout, else None."""
    root = os.path.dirname(_PACKAGE_DIR)
    return root if os.path.isfile(os.path.join(root, "simulator", "epos_sim.h")) else None


def _development_builds(root):
    """The development build's simulator: beside the vostelmotor module imported
    from this checkout first, then those of the checkout's build folders, the
    newest first."""
    found = []
    module = sys.modules.get("vostelmotor")
    module_file = getattr(module, "__file__", None)
    if module_file:
        folder = os.path.dirname(os.path.abspath(module_file))
        if os.path.normcase(folder).startswith(os.path.normcase(os.path.join(root, ""))):
            found.append(os.path.join(folder, DEVELOPMENT_NAME))
    built = glob.glob(os.path.join(root, "build*", "python", DEVELOPMENT_NAME))
    found.extend(sorted(built, key=os.path.getmtime, reverse=True))
    return [path for path in found if os.path.isfile(path)]


def library_path():
    """The simulated controller's library file: the one shipped in this package
    (or in an installed copy of it), or in a development checkout the one a
    development build made. Raises FileNotFoundError when there is none."""
    shipped = os.path.join(_PACKAGE_DIR, FILE_NAME)
    if os.path.isfile(shipped):
        return shipped
    # An installed wheel's, where a checkout's copy of this package shadows it.
    for entry in sys.path:
        installed = os.path.join(entry or os.curdir, "vostelmotor_lab", FILE_NAME)
        if os.path.isfile(installed):
            return os.path.abspath(installed)
    root = _checkout()
    if root is not None:
        built = _development_builds(root)
        if built:
            return built[0]
        raise FileNotFoundError(
            "The simulated controller is not built in this checkout (%s): build the development tree "
            "first (bash scripts/demo.sh, or source scripts/setup.sh and run build_for), or install "
            "vostelmotor from a wheel, which carries it." % root)
    raise FileNotFoundError(
        "The simulated controller %s is missing from this installation: reinstall vostelmotor from "
        "a wheel (pip install --force-reinstall vostelmotor), which carries it." % shipped)


def _data_folder(platform, environ, home):
    """The user's data folder on `platform` (a sys.platform value)."""
    if platform == "win32":
        return environ.get("LOCALAPPDATA") or os.path.join(home, "AppData", "Local")
    if platform == "darwin":
        return os.path.join(home, "Library", "Application Support")
    xdg = environ.get("XDG_DATA_HOME", "")
    # A relative XDG_DATA_HOME is invalid and is ignored, as the XDG rules ask.
    return xdg if os.path.isabs(xdg) else os.path.join(home, ".local", "share")


def state_file():
    """The file in which the simulated controller keeps its memory: VOSTEL_SIM_STATE
    when set, else simulated_controller_state.txt in a vostelmotor folder of the
    user's data folder."""
    chosen = os.environ.get("VOSTEL_SIM_STATE")
    if chosen:
        return chosen
    folder = _data_folder(sys.platform, os.environ, os.path.expanduser("~"))
    return os.path.join(folder, "vostelmotor", STATE_FILE_NAME)


def simulated(cls):
    """A subclass of the motor class `cls` that loads the simulated controller
    instead of searching for the vendor's command library."""

    class Simulated(cls):
        def load_epos_dll(self, package_dir=None):
            """Load the simulated controller (package_dir is not used)."""
            path = library_path()
            state = state_file()
            # The simulator reads VOSTEL_SIM_STATE whenever it stores or
            # restores, so it is set before the library is first used.
            if not os.environ.get("VOSTEL_SIM_STATE"):
                os.environ["VOSTEL_SIM_STATE"] = state
            os.makedirs(os.path.dirname(os.path.abspath(state)), exist_ok=True)
            if (path, state) not in _announced:
                _announced.add((path, state))
                print("simulated controller: %s (state file %s)" % (path, state))
            lib = self._try_load(path)
            if not lib:
                raise ImportError("Could not load the simulated controller %s" % path)
            return lib

    Simulated.__name__ = Simulated.__qualname__ = "Simulated" + cls.__name__[:1].upper() + cls.__name__[1:]
    Simulated.__doc__ = cls.__doc__
    return Simulated
