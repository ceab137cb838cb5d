"""Where the checkout, the development build and the simulator are. The build
and the simulator go first on sys.path; the checkout goes last, for the IOC
package where no installed one is found first."""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.environ.get("VOSTEL_BUILD_DIR", os.path.join(ROOT, "build", "python"))
SIM_LIBRARY = os.path.join(BUILD, "EposCMD64.dll")

if ROOT not in sys.path:
    sys.path.append(ROOT)
if BUILD not in sys.path:
    sys.path.insert(0, BUILD)
SIMULATOR = os.path.join(ROOT, "simulator")
if SIMULATOR not in sys.path:
    sys.path.insert(0, SIMULATOR)


def console_script(name):
    """Where pip installs this interpreter's console script `name`: beside the
    interpreter on Linux (bin/), in Scripts\\ with .exe on Windows."""
    import sysconfig

    return os.path.join(sysconfig.get_path("scripts"), name + (".exe" if os.name == "nt" else ""))
