"""Runs the Python tests against the installed vostelmotor (a wheel in a clean
environment) instead of a development build.

    python scripts/test_installed.py [--simulator=LIBRARY] [pytest arguments...]
                                     [--beside LOG pytest arguments...]

Checks that the installation holds the module and its type stubs, the IOC and
the bench package with the simulated controller under its own name, and no
controller library under a name that the module's search takes. Then puts the
simulated controller (LIBRARY, by default the one the wheel carries)
beside the installed module as EposCMD64.dll for the test run only, as a user
puts the vendor's library there, and removes it again afterwards. The tests
import the installed packages, not the checkout's. Exits with pytest's status.

--beside LOG starts a second pytest run with the arguments after LOG at the
same time, on the same installation, its output in the file LOG; it gets the
X display named in VOSTEL_X_DISPLAY as DISPLAY when that is set, and the first
run none (scripts/test-windows.sh runs the tests of real windows so, beside
the rest, whose windows could otherwise take their keys). The exit status is
then the first run's if it failed, else the second's.
"""
import fnmatch
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import threading

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
    beside = None
    if "--beside" in args:
        at = args.index("--beside")
        if at + 1 >= len(args):
            sys.exit("--beside needs a log file\n%s" % __doc__)
        args, log, beside = args[:at], args[at + 1], args[at + 2:]
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
        command = [sys.executable, "-c", RUN_PYTEST, "-q", "-p", "no:cacheprovider", *suites]
        if beside is None:
            # Bounded: a test that hangs fails the run instead of holding CI.
            return subprocess.call(command + args, cwd=ROOT, env=env, timeout=1800)
        return _side_by_side(command, args, env, beside, log)
    finally:
        os.remove(library)


def _side_by_side(command, args, env, beside, log):
    first_env = dict(env)
    second_env = dict(env)
    first_env.pop("DISPLAY", None)
    if os.environ.get("VOSTEL_X_DISPLAY"):
        second_env["DISPLAY"] = os.environ["VOSTEL_X_DISPLAY"]
    # Its output through a pipe: Python under Wine stops when a standard
    # stream is a regular file.
    second = subprocess.Popen(command + beside, cwd=ROOT, env=second_env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    copier = threading.Thread(target=_copy, args=(second.stdout, log), daemon=True)
    copier.start()
    try:
        first = subprocess.call(command + args, cwd=ROOT, env=first_env, timeout=1800)
        # The second run ends by itself, whatever the first's result.
        second_status = second.wait(timeout=1800)
        return first or second_status
    finally:
        if second.poll() is None:
            second.kill()
        second.wait()
        copier.join(10)


def _copy(stream, path):
    with open(path, "wb") as out:
        for line in stream:
            out.write(line)
            out.flush()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
