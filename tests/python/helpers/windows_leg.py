"""What the Windows leg (scripts/test-windows.sh: the Windows CPython under
Wine 8.0) leaves out, and why; the tests say so in their skip text there."""
from helpers import paths

# Not installed in the Windows leg: pytango's device server died of an access
# violation there and took the test process with it, and a later garbage
# collection in the same process hit a breakpoint trap.
FACE_CLIENTS = paths.WINDOWS_LEG_WITHOUT_FACE_CLIENTS
FACE_CLIENT_TESTS = ("test_pva.py", "test_tango.py", "test_bluesky_device.py", "test_ioc_load.py")
FACE_CLIENT_FACES = ("inprocess", "pva-p4p", "pva-ophyd-async", "tango-proxy", "tango-ophyd-async",
                     "ca-ophyd-async")

# caproto's threading client, which the Channel Access tests and ophyd use,
# fails now and then under Wine with WinError 10035 (WSAEWOULDBLOCK) on its
# non-blocking sockets while several clients and servers run at once: a put's
# answer or a channel goes missing. The Linux legs run these tests.
CA_CLIENT = ("Windows under Wine 8.0: caproto's threading client loses answers and channels with WinError 10035 "
             "(WSAEWOULDBLOCK) on its non-blocking sockets under load; the Linux legs run the Channel Access tests")
CA_CLIENT_TESTS = ("test_ioc_access.py", "test_ioc_bluesky.py", "test_ioc_command.py", "test_ioc_completion.py",
                   "test_ioc_limit_switch.py", "test_ioc_motion.py")
CA_CLIENT_FACES = ("ca-ophyd",)


def conformance_reason(face):
    """Why a conformance face does not run in the Windows leg, or None."""
    if face in FACE_CLIENT_FACES:
        return FACE_CLIENTS
    if face in CA_CLIENT_FACES:
        return CA_CLIENT
    return None


def test_file_reason(name):
    """Why the tests of the file `name` do not run in the Windows leg, or None."""
    if name in FACE_CLIENT_TESTS:
        return FACE_CLIENTS
    if name in CA_CLIENT_TESTS:
        return CA_CLIENT
    return None
