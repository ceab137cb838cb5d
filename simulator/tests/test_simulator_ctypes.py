"""The simulated controller driven through ctypes the way the module drives
the vendor's library: no declared argument types, Python ints as C int, the
node id as a c_ushort by value, out-cells by reference.

Set VOSTEL_SIM_LIB to the built EposCMD64.dll to run these tests."""
import ctypes
import os
import sys

import pytest

LIB_PATH = os.environ.get("VOSTEL_SIM_LIB")
pytestmark = pytest.mark.skipif(not LIB_PATH, reason="VOSTEL_SIM_LIB not set")

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from simcontrol import SimulatedController  # noqa: E402

NODE = ctypes.c_ushort(0)
ERR_TIMEOUT = 0x1000000B
ERR_BAD_HANDLE = 0x10000003
ERR_NO_DEVICE = 0x1000000F
ERR_NO_OBJECT = 0x06020000
ERR_FAULT = 0x34000008


def decode_coefficient(word):
    """Inverse of the coefficient word packing (mantissa with six decimal
    digits of the binary fraction, sign-and-magnitude exponent)."""
    mant = (word >> 8) & 0x7FFFFF
    if word & 0x80000000:
        mant = -mant
    exp = word & 0x7F
    if word & 0x80:
        exp = -exp
    return mant / 1e6 * 2.0 ** exp


class Connection:
    """The calls of one connected session, spelled as the module spells them."""

    def __init__(self, dll):
        self.dll = dll
        self.err = ctypes.c_uint32(0)
        self.handle = dll.VCS_OpenDevice(b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB0", ctypes.byref(self.err))

    def call(self, name, *args):
        return getattr(self.dll, name)(self.handle, NODE, *args, ctypes.byref(self.err))

    def read(self, name, cell_type):
        cell = cell_type(0)
        assert self.call(name, ctypes.byref(cell)), self.error_text()
        return cell.value

    def get_object(self, index, sub, cell_type=ctypes.c_uint32):
        cell, count = cell_type(0), ctypes.c_int(0)
        result = self.call("VCS_GetObject", index, sub, ctypes.byref(cell), 4, ctypes.byref(count))
        return result, cell.value

    def error_text(self):
        buf = ctypes.create_string_buffer(255)
        self.dll.VCS_GetErrorInfo(self.err.value, buf, ctypes.c_ushort(255))
        return buf.value.decode("utf-8")

    def supervise(self, sim):
        """Polls like the module's supervision loop; returns (passes, input word)."""
        reached, inputs, position = ctypes.c_int(0), ctypes.c_short(0), ctypes.c_int(0)
        passes = 0
        while not reached.value:
            self.call("VCS_GetMovementState", ctypes.byref(reached))
            sim.advance(0.1)
            self.call("VCS_GetAllDigitalInputs", ctypes.byref(inputs))
            if inputs.value:
                break
            self.call("VCS_GetPositionIs", ctypes.byref(position))
            passes += 1
        return passes, inputs.value


@pytest.fixture
def sim(tmp_path, monkeypatch):
    state = str(tmp_path / "state.txt")
    monkeypatch.setenv("VOSTEL_SIM_STATE", state)
    controller = SimulatedController.fresh(LIB_PATH, state)
    yield controller
    controller.reset(forget_stored=True)


@pytest.fixture
def conn(sim):
    c = Connection(ctypes.CDLL(LIB_PATH))
    assert c.handle, c.error_text()
    assert c.call("VCS_SetEnableState")
    return c


def test_connect_reads_factory_calibration_and_parameters(conn):
    assert isinstance(conn.handle, int) and 0 < conn.handle < 2**31
    words = [conn.get_object(0x200C, sub) for sub in (1, 2, 3, 4)]
    assert all(ok for ok, _ in words)
    a, b, c = (decode_coefficient(w) for _, w in words[:3])
    assert a == pytest.approx(1e-11, rel=1e-5)
    assert b == pytest.approx(-0.0005, rel=1e-5)
    assert c == pytest.approx(780.0, rel=1e-6)
    assert words[3][1] == (7600 << 16) | 8000
    assert conn.get_object(0x2081, 0, ctypes.c_int) == (1, 0)

    assert conn.call("VCS_SetMaxProfileVelocity", ctypes.c_int(4900))
    assert conn.call("VCS_SetMaxAcceleration", ctypes.c_int(4900))
    nominal, maximum, thermal = ctypes.c_short(0), ctypes.c_short(0), ctypes.c_short(0)
    assert conn.call("VCS_GetDcMotorParameter", ctypes.byref(nominal), ctypes.byref(maximum), ctypes.byref(thermal))
    assert (nominal.value, maximum.value, thermal.value) == (385, 790, 40)
    assert conn.call("VCS_SetDcMotorParameter", ctypes.c_short(790), ctypes.c_short(385), thermal.value)
    resolution, inverted = ctypes.c_uint32(0), ctypes.c_int(7)
    assert conn.call("VCS_GetIncEncoderParameter", ctypes.byref(resolution), ctypes.byref(inverted))
    assert (resolution.value, inverted.value) == (512, 0)
    assert conn.read("VCS_GetState", ctypes.c_ushort) == 1


def test_failures_report_code_and_text(sim):
    dll = ctypes.CDLL(LIB_PATH)
    err = ctypes.c_uint32(0)
    assert dll.VCS_OpenDevice(b"EPOS2", b"MAXON SERIAL V2", b"USB", b"USB7", ctypes.byref(err)) == 0
    assert err.value == ERR_NO_DEVICE
    # Key handle 0 from the failed open, as the module then sends it.
    assert dll.VCS_SetEnableState(0, NODE, ctypes.byref(err)) == 0
    assert err.value == ERR_BAD_HANDLE
    buf = ctypes.create_string_buffer(255)
    dll.VCS_GetErrorInfo(err.value, buf, ctypes.c_ushort(255))
    assert "Handle" in buf.value.decode("utf-8")

    conn = Connection(dll)
    ok, _ = conn.get_object(0x1234, 0)
    assert ok == 0 and conn.err.value == ERR_NO_OBJECT
    sim.fail_next("VCS_GetCurrentIs", 1, ERR_TIMEOUT)
    current = ctypes.c_short(5)
    assert conn.call("VCS_GetCurrentIs", ctypes.byref(current)) == 0
    assert (conn.err.value, current.value) == (ERR_TIMEOUT, 5)
    assert "Timeout" in conn.error_text()
    assert dll.VCS_CloseDevice(conn.handle, ctypes.byref(conn.err))
    assert conn.call("VCS_GetCurrentIs", ctypes.byref(current)) == 0
    assert conn.err.value == ERR_BAD_HANDLE


def test_relative_move_supervised_by_polling(conn, sim):
    profile = [ctypes.c_int32(v) for v in (1000, 1000, 1000)]
    assert conn.call("VCS_ActivateProfilePositionMode")
    assert conn.call("VCS_SetPositionProfile", *profile)
    cells = [ctypes.c_int(0) for _ in range(3)]
    assert conn.call("VCS_GetPositionProfile", *map(ctypes.byref, cells))
    assert [c.value for c in cells] == [1000, 1000, 1000]

    start = sim.time()
    assert conn.call("VCS_MoveToPosition", -30000, 0, 1)
    passes, word = conn.supervise(sim)
    assert word == 0
    # 30000 counts at 1000 rpm and 1000 rpm/s (2048 counts/rev) take 1.88 s.
    assert 18 <= passes <= 20
    # c_long is the 32-bit cell on Windows; c_int32 is the same width everywhere.
    assert conn.read("VCS_GetPositionIs", ctypes.c_int32) == -30000
    assert sim.time() - start == pytest.approx(passes * 0.1)
    assert conn.read("VCS_GetCurrentIs", ctypes.c_short) == 0


def test_limit_switch_recovery_as_the_module_performs_it(conn, sim):
    assert conn.call("VCS_MoveToPosition", 70000, 0, 1)
    _, word = conn.supervise(sim)
    assert word == 2
    assert conn.read("VCS_GetState", ctypes.c_ushort) == 3
    assert conn.read("VCS_GetPositionIs", ctypes.c_int) == 60000

    assert conn.call("VCS_ClearFault")
    assert conn.call("VCS_SetEnableState")
    assert conn.call("VCS_SetPositionProfile", 300, 300, 300)
    assert conn.call("VCS_MoveToPosition", -40000, 0, 1)
    # The module's computed time-out can be negative; as an unsigned value it
    # is a very long wait, which ends when the move does.
    assert conn.call("VCS_WaitForTargetReached", -14000), conn.error_text()
    assert conn.read("VCS_GetPositionIs", ctypes.c_int) == 20000
    assert conn.read("VCS_GetAllDigitalInputs", ctypes.c_short) == 0

    assert conn.call("VCS_MoveToPosition", 50000, 0, 1)
    assert conn.call("VCS_WaitForTargetReached", 1000) == 0
    assert conn.err.value == ERR_TIMEOUT
    assert conn.call("VCS_WaitForTargetReached", 100000) == 0
    assert conn.err.value == ERR_FAULT


def test_trigger_outputs_are_recorded(conn, sim):
    assert conn.call("VCS_SetPositionCompareParameter", 1, 2, 2, ctypes.c_int(1000), 0, 500)
    assert conn.call("VCS_ActivatePositionCompare", 3, 0)
    assert conn.call("VCS_EnablePositionCompare")
    assert conn.call("VCS_DigitalOutputConfiguration", 3, 15, 1, 1, 0)
    assert sim.output_level(3) == 1
    assert conn.call("VCS_MoveToPosition", 5500, 0, 1)
    conn.supervise(sim)
    assert conn.call("VCS_DigitalOutputConfiguration", 3, 15, 0, 1, 0)
    assert conn.call("VCS_DisablePositionCompare")
    assert conn.call("VCS_DeactivatePositionCompare", 3)

    trace = sim.trace()
    assert [p["position"] for p in trace["pulses"]] == [1000, 2000, 3000, 4000, 5000]
    times = [p["t"] for p in trace["pulses"]]
    assert times == sorted(times)
    assert [(o["output"], o["level"]) for o in trace["outputs"]] == [(3, 1), (3, 0)]
    assert sim.command_count("VCS_GetMovementState") >= 10


def test_injected_failures_at_the_nth_call_and_at_every_call(conn, sim):
    current = ctypes.c_short(0)
    sim.fail_at("VCS_GetCurrentIs", 3)
    assert [conn.call("VCS_GetCurrentIs", ctypes.byref(current)) for _ in range(5)] == [1, 1, 0, 1, 1]
    sim.fail_next("VCS_GetCurrentIs", -1, ERR_TIMEOUT)
    assert [conn.call("VCS_GetCurrentIs", ctypes.byref(current)) for _ in range(4)] == [0] * 4
    assert conn.err.value == ERR_TIMEOUT
    sim.fail_next("VCS_GetCurrentIs", 0)
    assert conn.call("VCS_GetCurrentIs", ctypes.byref(current)) == 1


@pytest.mark.parametrize("inject, state, recover", [
    ("drive_fault", 3, ["VCS_ClearFault", "VCS_SetEnableState"]),
    ("external_disable", 0, ["VCS_SetEnableState"]),
])
def test_drive_stopped_from_outside_mid_move(conn, sim, inject, state, recover):
    assert conn.call("VCS_MoveToPosition", -30000, 0, 1)
    sim.advance(0.5)
    getattr(sim, inject)()
    stopped_at = sim.position()
    assert -30000 < stopped_at < 0 and not sim.moving()
    passes, word = conn.supervise(sim)
    assert (passes, word) == (1, 0)  # the motion has ended; no switch is pressed
    assert conn.read("VCS_GetState", ctypes.c_ushort) == state
    assert conn.call("VCS_MoveToPosition", 1000, 0, 1) == 0
    for name in recover:
        assert conn.call(name), conn.error_text()
    assert conn.call("VCS_MoveToPosition", 1000, 0, 1)
    conn.supervise(sim)
    assert sim.position() == stopped_at + 1000
