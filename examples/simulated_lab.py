"""What the examples share: the development build with the simulated
controller beside the module, a folder answer for the support-data dialog
when there is no one to click it, and the conversion of the controller's
counts into nm for plots and tables.

Run the examples from the repository root after `bash scripts/demo.sh`,
with `python3 examples/<name>.py`: when the interpreter that runs them cannot
import the built module (no numpy, or another Python version), they start
again in the demo's own environment `.venv-demo`.
"""
import contextlib
import importlib
import math
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("VOSTEL_BUILD_DIR", os.path.join(ROOT, "build-demo", "python"))
DEMO_VENV = os.path.join(ROOT, ".venv-demo")
_RESTARTED = "VOSTEL_EXAMPLE_RESTARTED"


def _venv_python(venv):
    if os.name == "nt":
        return os.path.join(venv, "Scripts", "python.exe")
    return os.path.join(venv, "bin", "python")


def import_module(wanted=()):
    """Imports vostelmotor from the build folder and the simulator's control
    wrapper; returns (vostelmotor, SimulatedController). Starts the script
    again under .venv-demo when this interpreter cannot import the module or
    one of the `wanted` modules (which the script can do without)."""
    for folder in (BUILD, os.path.join(ROOT, "simulator")):
        if folder not in sys.path:
            sys.path.insert(0, folder)
    python = _venv_python(DEMO_VENV)
    can_restart = not os.environ.get(_RESTARTED) and os.path.exists(python)
    try:
        import vostelmotor
        for name in wanted:
            try:
                importlib.import_module(name)
            except ImportError:
                if can_restart:
                    raise
    except ImportError as error:
        if not can_restart:
            sys.exit("cannot import vostelmotor from %s (%s): build it first with `bash scripts/demo.sh`"
                     % (BUILD, error))
        print("(%s: starting again with %s)" % (error, python), flush=True)
        os.environ[_RESTARTED] = "1"
        os.execv(python, [python] + sys.argv)
    from simcontrol import SimulatedController
    return vostelmotor, SimulatedController


def simulated_controller(vostelmotor, SimulatedController, state_file):
    """The simulated controller beside the module, at its factory state with
    its own state file, on a virtual clock that the module's waits advance."""
    path = os.path.join(os.path.dirname(vostelmotor.__file__), "EposCMD64.dll")
    if not os.path.exists(path):
        sys.exit("The simulated controller is not beside the module in %s: build with `bash scripts/demo.sh`"
                 % os.path.dirname(vostelmotor.__file__))
    # The module loads the library under the same path, so both share one controller.
    os.environ["VOSTEL_SIM_STATE"] = state_file
    sim = SimulatedController.fresh(path, state_file)
    vostelmotor.sleep = sim.advance
    return sim


@contextlib.contextmanager
def folder_dialog_answered(vostelmotor, folder):
    """Inside the block, the module's folder dialog returns `folder` without
    showing anything (and so needs no display); a lab user picks the folder."""

    class HiddenRoot:
        def withdraw(self):
            pass

    class Toolkit:
        Tk = HiddenRoot

    class Dialogs:
        @staticmethod
        def askdirectory(**options):
            print("(folder dialog '%s' answered with %s)" % (options.get("title"), folder))
            return folder

    saved = vostelmotor.tk, vostelmotor.filedialog
    vostelmotor.tk, vostelmotor.filedialog = Toolkit, Dialogs
    try:
        yield
    finally:
        vostelmotor.tk, vostelmotor.filedialog = saved


class WavelengthScale:
    """Wavelength of a controller position, from what the motor reports: the
    calibration's coefficients and the present wavelength at the present
    controller position (which fixes the offset between the two frames)."""

    def __init__(self, motor, controller_position):
        self.A, self.B, self.C = motor.getMotorParamters()[:3]
        self.offset = round(self.model_position(motor.getWavelength()) - controller_position)

    def model_position(self, wavelength):
        """The root of A x^2 + B x + C = wavelength next to the linear one."""
        c = self.C - wavelength
        if self.A == 0:
            return -c / self.B
        q = -(self.B + math.copysign(math.sqrt(self.B * self.B - 4 * self.A * c), self.B)) / 2
        return c / q

    def __call__(self, controller_position):
        x = controller_position + self.offset
        return self.A * x * x + self.B * x + self.C
