"""What the Windows leg (scripts/test-windows.sh: the Windows CPython under
Wine 8.0) leaves out, and why; the tests say so in their skip text there."""
from helpers import paths

# Not installed in the Windows leg: pytango (helpers.paths says why).
FACE_CLIENTS = paths.WINDOWS_LEG_WITHOUT_FACE_CLIENTS
FACE_CLIENT_TESTS = ("test_tango.py",)
FACE_CLIENT_FACES = ("tango-proxy", "tango-ophyd-async")


def conformance_reason(face):
    """Why a conformance face does not run in the Windows leg, or None."""
    if face in FACE_CLIENT_FACES:
        return FACE_CLIENTS
    return None


def test_file_reason(name):
    """Why the tests of the file `name` do not run in the Windows leg, or None."""
    if name in FACE_CLIENT_TESTS:
        return FACE_CLIENTS
    return None
