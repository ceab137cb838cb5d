"""What the Windows leg (scripts/test-windows.sh: the Windows CPython under
Wine 8.0) leaves out, and why; the tests say so in their skip text there.
Nothing at present: each entry maps a test file or a conformance face to the
Windows reason it cannot run there."""

TEST_FILES = {}
FACES = {}


def conformance_reason(face):
    """Why a conformance face does not run in the Windows leg, or None."""
    return FACES.get(face)


def test_file_reason(name):
    """Why the tests of the file `name` do not run in the Windows leg, or None."""
    return TEST_FILES.get(name)
