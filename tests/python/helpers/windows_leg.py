"""What the Windows leg (scripts/test-windows.sh: the Windows CPython under
Wine 8.0) leaves out, and why; the tests say so in their skip text there:
each entry maps a test file or a conformance face to the Windows reason it
cannot run there."""
import os
import sys

# pytango is not installed there. Wine's builtin vcruntime140 made its device
# server hang at shutdown after any refused request; with Microsoft's copies
# (the leg loads them) that is gone. What remains under Wine (about one run
# in three of the Tango tests alone): a request to a test's device answered
# by the Python object of the previous test's device, whose drive is closed;
# now and then an access violation inside push_change_event; and the process
# dying on its way out. docs/howto/windows.md gives the evidence.
TANGO = ("Windows under Wine 8.0: pytango is not installed in the Windows leg: with one in-process device server "
         "per test, a request to a test's device was now and then answered by the Python object of the previous "
         "test's device, bound to its closed drive (a setting refused after 2 s, a move never begun); the server "
         "died now and then of an access violation in push_change_event, and the process dies on its way out "
         "after them; the Linux legs run the Tango tests")
TEST_FILES = {"test_tango.py": TANGO}
FACES = {"tango-proxy": TANGO, "tango-ophyd-async": TANGO}


def conformance_reason(face):
    """Why a conformance face does not run in the Windows leg, or None."""
    return FACES.get(face)


def file_left_out(name):
    """Why the tests of the file `name` do not run here: the Windows leg's
    reason on Windows (unless VOSTEL_WINDOWS_ALL_TESTS=1), else None."""
    if sys.platform != "win32" or os.environ.get("VOSTEL_WINDOWS_ALL_TESTS") == "1":
        return None
    return TEST_FILES.get(name)
