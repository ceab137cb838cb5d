"""Python handle on the simulated controller's control interface (the SIM_
functions of EposCMD64.dll built from this folder)."""
import ctypes
import json
import os


class SimulatedController:
    """Wraps the SIM_ control functions of a loaded simulator library. The
    module's own motor objects load the same file and so share its state."""

    def __init__(self, path):
        self.path = path
        lib = self.lib = ctypes.CDLL(path)
        signatures = {
            "SIM_Reset": (None, [ctypes.c_int]),
            "SIM_SetStateFile": (ctypes.c_int, [ctypes.c_char_p]),
            "SIM_UseWallClock": (ctypes.c_int, [ctypes.c_double]),
            "SIM_UseVirtualClock": (ctypes.c_int, []),
            "SIM_AdvanceClock": (ctypes.c_int, [ctypes.c_double]),
            "SIM_SetClockStep": (ctypes.c_int, [ctypes.c_double]),
            "SIM_GetTime": (ctypes.c_double, []),
            "SIM_SetPosition": (ctypes.c_int, [ctypes.c_int]),
            "SIM_GetPosition": (ctypes.c_int, []),
            "SIM_SetQuickStopDeceleration": (ctypes.c_int, [ctypes.c_uint32]),
            "SIM_GetDriveState": (ctypes.c_int, []),
            "SIM_IsMoving": (ctypes.c_int, []),
            "SIM_GetOutputLevel": (ctypes.c_int, [ctypes.c_int]),
            "SIM_SetLimitSwitches": (ctypes.c_int, [ctypes.c_int, ctypes.c_int]),
            "SIM_SetPorts": (ctypes.c_int, [ctypes.c_char_p]),
            "SIM_SetPlugged": (ctypes.c_int, [ctypes.c_int]),
            "SIM_FailNext": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_uint32]),
            "SIM_FailAt": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int, ctypes.c_uint32]),
            "SIM_SetFailureTime": (ctypes.c_int, [ctypes.c_double]),
            "SIM_DriveFault": (ctypes.c_int, []),
            "SIM_ExternalDisable": (ctypes.c_int, []),
            "SIM_TraceJson": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
            "SIM_TraceClear": (None, []),
            "SIM_PulseCount": (ctypes.c_int, []),
            "SIM_CommandCount": (ctypes.c_int, [ctypes.c_char_p]),
        }
        for name, (restype, argtypes) in signatures.items():
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = restype, argtypes

    @classmethod
    def fresh(cls, path, state_file):
        """A controller at its factory state, storing into `state_file`, on the
        virtual clock, with an empty trace: the start of every test."""
        controller = cls(path)
        controller.use_virtual_clock()
        controller.reset(state_file=state_file)
        controller.clear_trace()
        return controller

    # The clock
    def use_virtual_clock(self):
        self.lib.SIM_UseVirtualClock()

    def use_wall_clock(self, speed=1.0):
        self.lib.SIM_UseWallClock(speed)

    def advance(self, seconds):
        """Moves the virtual clock on; usable in place of time.sleep."""
        self.lib.SIM_AdvanceClock(float(seconds))

    def time(self):
        return self.lib.SIM_GetTime()

    # The device
    def reset(self, state_file=None, forget_stored=True):
        if state_file is not None:
            self.lib.SIM_SetStateFile(os.fsencode(state_file))
        self.lib.SIM_Reset(1 if forget_stored else 0)

    def position(self):
        return self.lib.SIM_GetPosition()

    def set_position(self, position):
        self.lib.SIM_SetPosition(int(position))

    def set_quick_stop_deceleration(self, rpm_per_s):
        """The deceleration (rpm/s) a quick-stopped drive brakes at."""
        return bool(self.lib.SIM_SetQuickStopDeceleration(int(rpm_per_s)))

    def drive_state(self):
        return ("disabled", "enabled", "quick stop", "fault")[self.lib.SIM_GetDriveState()]

    def moving(self):
        return bool(self.lib.SIM_IsMoving())

    def output_level(self, output=3):
        return self.lib.SIM_GetOutputLevel(output)

    def set_limit_switches(self, negative, positive):
        self.lib.SIM_SetLimitSwitches(int(negative), int(positive))

    def set_ports(self, ports):
        self.lib.SIM_SetPorts(",".join(ports).encode())

    def set_plugged(self, plugged):
        self.lib.SIM_SetPlugged(1 if plugged else 0)

    def fail_next(self, command, count=1, error_code=0x1000000F):
        """The next `count` calls of `command` fail; count -1: every call."""
        self.lib.SIM_FailNext(command.encode(), int(count), int(error_code))

    def fail_at(self, command, nth, error_code=0x1000000F):
        """The `nth` call of `command` from now fails, once."""
        self.lib.SIM_FailAt(command.encode(), int(nth), int(error_code))

    def set_failure_time(self, seconds):
        """Every failing command takes `seconds` (simulated) before it returns."""
        return bool(self.lib.SIM_SetFailureTime(float(seconds)))

    def drive_fault(self):
        self.lib.SIM_DriveFault()

    def external_disable(self):
        self.lib.SIM_ExternalDisable()

    # What happened
    def trace(self):
        size = self.lib.SIM_TraceJson(None, 0)
        buf = ctypes.create_string_buffer(size)
        self.lib.SIM_TraceJson(buf, size)
        return json.loads(buf.value.decode())

    def clear_trace(self):
        self.lib.SIM_TraceClear()

    def pulse_count(self):
        return self.lib.SIM_PulseCount()

    def command_count(self, command):
        return self.lib.SIM_CommandCount(command.encode())
