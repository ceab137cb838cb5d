"""Runs the Python tests against the installed vostelmotor (a wheel in a clean
environment) instead of a development build.

    python scripts/test_installed.py [--simulator=LIBRARY] [pytest arguments...]

Checks that the installation holds the module and its type stubs, the IOC and
the bench package with the simulated controller under its own name, and no
controller library under a name that the module's search takes. Then puts the
simulated controller (LIBRARY, by default the one the wheel carries)
beside the installed module as EposCMD64.dll for the test run only, as a user
puts the vendor's library there, and removes it again afterwards. The tests
import the installed packages, not the checkout's. Exits with pytest's status.
"""
import fnmatch
import os
import shutil
import signal
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITES = ("tests/python", "simulator/tests")
# File names that the module's search loads as the vendor's command library.
CONTROLLER_LIBRARIES = ("eposcmd64.dll", "libeposcmd.so*")
# pytest without the working directory (the checkout) at the front of sys.path,
# where it would shadow the installed packages.
RUN_PYTEST = "import sys; del sys.path[0]; import pytest; sys.exit(pytest.main(sys.argv[1:]))"


def _site():
    return {os.path.normcase(os.path.realpath(sysconfig.get_paths()[k])) for k in ("platlib", "purelib")}


def _controller_libraries(folder):
    return [name for name in os.listdir(folder)
            if any(fnmatch.fnmatch(name.lower(), pattern) for pattern in CONTROLLER_LIBRARIES)]


def _package_problems(name, site):
    """The package `name` imported from site-packages, or what is wrong."""
    try:
        package = __import__(name)
    except ImportError as e:
        return None, ["the package %s is missing (%s)" % (name, e)]
    folder = os.path.dirname(os.path.abspath(package.__file__))
    if os.path.normcase(os.path.realpath(os.path.dirname(folder))) not in site:
        return None, ["the package %s was imported from %s" % (name, package.__file__)]
    return folder, []


def installed_folder():
    """The installed module's folder and the simulated controller the wheel carries."""
    import vostelmotor

    folder = os.path.dirname(os.path.abspath(vostelmotor.__file__))
    site = _site()
    if os.path.normcase(os.path.realpath(folder)) not in site:
        sys.exit("vostelmotor was imported from %s, not from this environment's site-packages" % folder)
    problems = []
    for name in _controller_libraries(folder):
        problems.append("a controller library (%s) is installed beside the module" % name)
    for stub in ("vostelmotor.pyi", os.path.join("vostelmotor-stubs", "__init__.pyi")):
        if not os.path.exists(os.path.join(folder, stub)):
            problems.append("type stub %s missing" % stub)
    problems += _package_problems("vostelmotor_ioc", site)[1]
    lab, lab_problems = _package_problems("vostelmotor_lab", site)
    problems += lab_problems
    simulator = None
    if lab is not None:
        from vostelmotor_lab import simulated

        simulator = os.path.join(lab, simulated.FILE_NAME)
        if not os.path.isfile(simulator):
            problems.append("the simulated controller %s is missing" % simulator)
        for name in _controller_libraries(lab):
            problems.append("a file named as the controller library (%s) is installed in %s" % (name, lab))
    if problems:
        sys.exit("installation in %s: %s" % (folder, "; ".join(problems)))
    print("installed module:", vostelmotor.__file__, flush=True)
    print("simulated controller in the wheel:", simulator, flush=True)
    return folder, simulator


def main(argv):
    args = argv[1:]
    if args and args[0] in ("-h", "--help"):
        sys.exit(__doc__)
    folder, simulator = installed_folder()
    if args and args[0].startswith("--simulator="):
        simulator = args.pop(0).split("=", 1)[1]
        if not os.path.isfile(simulator):
            sys.exit("no simulated controller at %s\n%s" % (simulator, __doc__))
    library = os.path.join(folder, "EposCMD64.dll")
    # A run stopped with SIGTERM (the test command stopping its legs) still
    # takes the library away again.
    if hasattr(signal, "SIGTERM"):
        signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    shutil.copy2(simulator, library)
    try:
        env = dict(os.environ, VOSTEL_BUILD_DIR=folder, VOSTEL_SIM_LIB=library)
        suites = [s for s in SUITES if os.path.isdir(os.path.join(ROOT, s))]
        command = [sys.executable, "-c", RUN_PYTEST, "-q", "-p", "no:cacheprovider", *suites, *args]
        # Bounded: a test that hangs fails the run instead of holding CI.
        return subprocess.call(command, cwd=ROOT, env=env, timeout=1800)
    finally:
        os.remove(library)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
