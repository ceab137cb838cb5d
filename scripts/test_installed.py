"""Runs the Python tests against the installed vostelmotor (a wheel in a clean
environment) instead of a development build.

    python scripts/test_installed.py SIMULATOR_LIBRARY [pytest arguments...]

Checks that the installation holds the module and its type stubs and no
controller library, then puts the simulated controller beside the installed
module for the test run only, as a user puts the vendor's library there, and
removes it again afterwards. Exits with pytest's status.
"""
import os
import shutil
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITES = ("tests/python", "simulator/tests")


def installed_folder():
    import vostelmotor

    folder = os.path.dirname(os.path.abspath(vostelmotor.__file__))
    site = {os.path.normcase(os.path.realpath(sysconfig.get_paths()[k])) for k in ("platlib", "purelib")}
    if os.path.normcase(os.path.realpath(folder)) not in site:
        sys.exit("vostelmotor was imported from %s, not from this environment's site-packages" % folder)
    problems = []
    if os.path.exists(os.path.join(folder, "EposCMD64.dll")):
        problems.append("a controller library is installed beside the module")
    for stub in ("vostelmotor.pyi", os.path.join("vostelmotor-stubs", "__init__.pyi")):
        if not os.path.exists(os.path.join(folder, stub)):
            problems.append("type stub %s missing" % stub)
    try:
        import vostelmotor_ioc
    except ImportError as e:
        problems.append("the IOC package is missing (%s)" % e)
    else:
        if os.path.normcase(os.path.realpath(os.path.dirname(os.path.dirname(vostelmotor_ioc.__file__)))) not in site:
            problems.append("the IOC package was imported from %s" % vostelmotor_ioc.__file__)
    if problems:
        sys.exit("installation in %s: %s" % (folder, "; ".join(problems)))
    print("installed module:", vostelmotor.__file__, flush=True)
    return folder


def main(argv):
    if len(argv) < 2 or not os.path.isfile(argv[1]):
        sys.exit(__doc__)
    folder = installed_folder()
    library = os.path.join(folder, "EposCMD64.dll")
    shutil.copy2(argv[1], library)
    try:
        env = dict(os.environ, VOSTEL_BUILD_DIR=folder, VOSTEL_SIM_LIB=library)
        suites = [s for s in SUITES if os.path.isdir(os.path.join(ROOT, s))]
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *suites, *argv[2:]]
        # Bounded: a test that hangs fails the run instead of holding CI.
        return subprocess.call(command, cwd=ROOT, env=env, timeout=1800)
    finally:
        os.remove(library)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
