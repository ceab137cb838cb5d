"""The Windows version for platform.win32_ver() without running `ver`, for
the Windows CPython under Wine 8.0 that scripts/test-windows.sh sets up
(loaded at interpreter start by wine_platform.pth in its site-packages;
nowhere else).

Why: CPython 3.11's platform module learns the Windows version by running
`cmd /c ver` (platform._syscmd_ver) the first time anything asks for
platform.system(), uname() or win32_ver(); setuptools does on import, and p4p
imports setuptools (through epicscorelibs and setuptools_dso), so every
process of the suite that touches PVAccess asked. On Windows that is a
short-lived cmd.exe. Under Wine it is a new Wine process, a few seconds of
wall time and about 1.5 s of CPU between it, Wine's server and its device
host, and Wine's `ver` prints no version: platform then falls back to
sys.getwindowsversion().platform_version, the version Wine reports to
programs. This gives platform that same empty answer without the process,
so every answer of the platform module stays as it was under Wine."""
import sys


def install():
    import platform
    original = platform._syscmd_ver

    def _syscmd_ver(system="", release="", version="", supported_platforms=("win32", "win16", "dos")):
        if sys.platform not in supported_platforms:
            return original(system, release, version, supported_platforms)
        return system, release, version

    platform._syscmd_ver = _syscmd_ver
