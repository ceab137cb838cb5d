"""The Windows leg's interpreter (the Windows CPython under Wine that
scripts/test-windows.sh sets up) with its workarounds for Wine: what the
suite's code is told stays what Wine tells it without them."""
import ast
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(sys.platform != "win32", reason="about the Windows CPython only")

PLATFORM = ("import platform; print(repr((tuple(platform.uname()), platform.win32_ver(), "
            "platform.platform(), platform.system())))")


def test_platform_tells_the_windows_version_as_without_the_workaround():
    import platform
    here = (tuple(platform.uname()), platform.win32_ver(), platform.platform(), platform.system())
    # -S: without site-packages, where the workaround's .pth file is.
    plain = subprocess.run([sys.executable, "-S", "-c", PLATFORM], capture_output=True, text=True, timeout=120,
                           stdin=subprocess.DEVNULL)
    assert plain.returncode == 0, plain.stderr
    assert ast.literal_eval(plain.stdout.strip()) == here
    assert here[3] == "Windows" and here[1][1].count(".") == 2
