"""What the Windows leg (scripts/test-windows.sh: the Windows CPython under
Wine 8.0) leaves out, and why; the tests say so in their skip text there:
each entry maps a test file or a conformance face to the Windows reason it
cannot run there."""

# pytango is not installed there. Wine's builtin vcruntime140 made its device
# server hang at shutdown after any refused request; with Microsoft's copies
# (the leg loads them) that is gone, but the server in the test process still
# dies now and then of an access violation inside push_change_event, called
# from the device's event thread, and some moves end without State leaving
# MOVING. A run of the Tango tests alone on a quiet machine had both.
TANGO = ("Windows under Wine 8.0: pytango is not installed in the Windows leg: its device server in the test "
         "process dies of an access violation in push_change_event from the device's event thread, cause not "
         "established; the Linux legs run the Tango tests")
TEST_FILES = {"test_tango.py": TANGO}
FACES = {"tango-proxy": TANGO, "tango-ophyd-async": TANGO}


def conformance_reason(face):
    """Why a conformance face does not run in the Windows leg, or None."""
    return FACES.get(face)


def test_file_reason(name):
    """Why the tests of the file `name` do not run in the Windows leg, or None."""
    return TEST_FILES.get(name)
