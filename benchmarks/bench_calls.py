"""Host-side cost of the module's calls on the simulated controller (virtual
clock, so no real waiting), printed next to one bare ctypes call of the same
library function: the floor the module's overhead can approach.

    bash scripts/bench.sh
"""
import contextlib
import ctypes
import io
import os
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("VOSTEL_BUILD_DIR", os.path.join(HERE, "..", "build", "python")))
sys.path.insert(0, os.path.join(HERE, "..", "simulator"))

import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402


def per_call(fn, seconds=0.5):
    number, _ = timeit.Timer(fn).autorange()
    total = min(timeit.Timer(fn).repeat(repeat=5, number=max(number, int(number * seconds / 0.2))))
    return total / max(number, int(number * seconds / 0.2)) * 1e6


def main():
    sim = SimulatedController(os.path.join(os.path.dirname(vostelmotor.__file__), "EposCMD64.dll"))
    sim.use_virtual_clock()
    sim.reset(state_file=os.path.join(tempfile.mkdtemp(), "state.txt"))
    vostelmotor.sleep = sim.advance
    m = vostelmotor.motor()
    with contextlib.redirect_stdout(io.StringIO()):
        assert m.connect()
    lib = m.eposdll
    handle, node, err = m._motor__keyhandle, ctypes.c_ushort(0), ctypes.c_uint32()
    pos, cur = ctypes.c_int(), ctypes.c_short()

    def move0():
        with contextlib.redirect_stdout(io.StringIO()):
            m.moveSteps(0)

    rows = [
        ("getWavelength()", lambda: m.getWavelength(),
         "VCS_GetPositionIs", lambda: lib.VCS_GetPositionIs(handle, node, ctypes.byref(pos), ctypes.byref(err))),
        ("getCurrent()", lambda: m.getCurrent(),
         "VCS_GetCurrentIs", lambda: lib.VCS_GetCurrentIs(handle, node, ctypes.byref(cur), ctypes.byref(err))),
        ("moveSteps(0)", move0,
         "VCS_MoveToPosition", lambda: lib.VCS_MoveToPosition(handle, node, 0, 0, 1, ctypes.byref(err))),
    ]
    print("%-18s %12s   %-22s %12s %8s" % ("module call", "us/call", "bare ctypes call", "us/call", "ratio"))
    for name, fn, bare_name, bare in rows:
        t, b = per_call(fn), per_call(bare)
        print("%-18s %12.2f   %-22s %12.2f %8.1f" % (name, t, bare_name, b, t / b))
    with contextlib.redirect_stdout(io.StringIO()):
        m.disconnect()


if __name__ == "__main__":
    main()
