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


def marked_examples(test_file, *documents):
    """The ```python blocks of `documents` (paths from the checkout) whose
    first line is `# tested by tests/python/<test_file>`, in order: the
    examples that test runs."""
    import re

    found = []
    for document in documents:
        with open(os.path.join(ROOT, document), encoding="utf-8") as f:
            blocks = re.findall(r"^```python\n(.*?)^```", f.read(), flags=re.S | re.M)
        found += [b for b in blocks if b.startswith("# tested by tests/python/%s\n" % test_file)]
    return found


def console_script(name):
    """Where pip installs this interpreter's console script `name`: beside the
    interpreter on Linux (bin/), in Scripts\\ with .exe on Windows."""
    import sysconfig

    return os.path.join(sysconfig.get_path("scripts"), name + (".exe" if os.name == "nt" else ""))
