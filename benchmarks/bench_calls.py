"""Host-side cost of the module's public calls on the simulated controller
(virtual clock, sleep patched out), against

  python: the same method written in plain Python below (the same ctypes
          calls, the same attribute accesses, the same helper methods),
  floor:  the bare ctypes calls the method makes, inline.

One process, one connected controller, rounds interleaved, the minimum of the
rounds taken. The Python versions are checked first to send the same commands
as the module.

    bash scripts/bench.sh
"""
import contextlib
import ctypes as ct
import io
import math
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("VOSTEL_BUILD_DIR", os.path.join(HERE, "..", "build", "python")))
sys.path.insert(0, os.path.join(HERE, "..", "simulator"))

import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402

HOME = 0x2081


def sleep(seconds):
    """Replaced by the simulator's clock in main()."""


def long32():
    return ct.c_long() if ct.sizeof(ct.c_long) == 4 else ct.c_int32()


class motor:
    """The measured methods and the helpers they call, in plain Python."""

    def __dllCall(self, funcName, *args):
        func = getattr(self.eposdll, funcName)
        result = func(*args)
        if result == 0:
            print(funcName + " failed with Code " + str(args[-1]._obj.value))
        return result

    def __HomePosition(self):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        pData = ct.c_int()
        pNbOfBytesRead = ct.c_int()
        self.__dllCall("VCS_GetObject", self.__keyhandle, self.__NodeId, HOME, 0, ct.byref(pData), 4,
                       ct.byref(pNbOfBytesRead), ct.byref(self.__pErrorCode))
        return pData

    def __SetIndexValue(self, ObjectIndex, ObjectSubIndex, Value):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        pNbOfBytes = ct.c_int()
        return self.__dllCall("VCS_SetObject", self.__keyhandle, self.__NodeId, ObjectIndex, ObjectSubIndex,
                              ct.byref(Value), 4, ct.byref(pNbOfBytes), ct.byref(self.__pErrorCode))

    def __motorpositionToWavelength(self, Motorposition):
        return self.__CoeffA * Motorposition ** 2 + self.__CoeffB * Motorposition + self.__CoeffC

    def __wavelengthToMotorposition(self, Wavelength):
        discriminant = self.__CoeffB ** 2 - 4 * self.__CoeffA * (self.__CoeffC - Wavelength)
        if discriminant < 0:
            raise ValueError("No real roots: The discriminant is negative.")
        sqrt_discriminant = math.sqrt(discriminant)
        if self.__pm:
            root = (-self.__CoeffB - sqrt_discriminant) / (2 * self.__CoeffA)
        else:
            root = (-self.__CoeffB + sqrt_discriminant) / (2 * self.__CoeffA)
        return int(round(root))

    def __wlSafetyCheck(self, wavelength):
        if wavelength < self.__minWavelength:
            wavelength = self.__minWavelength
        if wavelength > self.__maxWavelength:
            wavelength = self.__maxWavelength
        return wavelength

    def __PositionSafetyCheck(self, steps):
        sign = -1 if self.__BallScrew < 0 else 1
        displacement = sign * steps
        tempposition = self.__HomePosition().value + displacement
        minPos = self.__wavelengthToMotorposition(self.__minWavelength)
        maxPos = self.__wavelengthToMotorposition(self.__maxWavelength)
        lo, hi = (maxPos, minPos) if maxPos < minPos else (minPos, maxPos)
        if tempposition < lo:
            displacement = lo - self.__HomePosition().value
        if tempposition > hi:
            displacement = hi - self.__HomePosition().value
        return int(sign * displacement)

    def __activateTriggerOutput(self, triggerkind):
        if triggerkind == 2:
            self.__dllCall("VCS_DigitalOutputConfiguration", self.__keyhandle, self.__NodeId, 3, 15, 1, 1,
                           int(self.__revMotionTrigger), ct.byref(self.__pErrorCode))
        if triggerkind == 1:
            self.__activatePositionTrigger()

    def __deactivateTriggerOutput(self, triggerkind):
        if triggerkind == 2:
            self.__dllCall("VCS_DigitalOutputConfiguration", self.__keyhandle, self.__NodeId, 3, 15,
                           1 if self.__revMotionTrigger else 0, 1, 0, ct.byref(self.__pErrorCode))
        if triggerkind == 1:
            self.__deactivatePositionTrigger()

    def __waittillmovementdone(self, trigger, pLimitSwitch):
        seccounter = 0
        PositionIs = long32()
        pTargetReached = long32()
        self.__moving = True
        while not pTargetReached.value and not self.__stop:
            self.__dllCall("VCS_GetMovementState", self.__keyhandle, self.__NodeId, ct.byref(pTargetReached),
                           ct.byref(self.__pErrorCode))
            sleep(0.1)
            self.__dllCall("VCS_GetAllDigitalInputs", self.__keyhandle, self.__NodeId, ct.byref(pLimitSwitch),
                           ct.byref(self.__pErrorCode))
            if pLimitSwitch.value:
                self.__limitSwitch()
                break
            self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId, ct.byref(PositionIs),
                           ct.byref(self.__pErrorCode))
            seccounter += 1
            if seccounter % 10 == 0 and self.__generateSupportData:
                raise RuntimeError("support data are not measured")
        self.__deactivateTriggerOutput(trigger)
        self.__moving = False
        if pLimitSwitch.value:
            return
        self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId, ct.byref(PositionIs),
                       ct.byref(self.__pErrorCode))
        self.__SetIndexValue(HOME, 0, ct.c_int(PositionIs.value + self.__offset))

    def getMoving(self):
        return self.__moving

    def getWavelength(self):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        currentPos = long32()
        self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId, ct.byref(currentPos),
                       ct.byref(self.__pErrorCode))
        return self.__motorpositionToWavelength(currentPos.value + self.__offset)

    def getCurrent(self):
        current = ct.c_short()
        self.__dllCall("VCS_GetCurrentIs", self.__keyhandle, self.__NodeId, ct.byref(current),
                       ct.byref(self.__pErrorCode))
        return current.value

    def moveSteps(self, steps, trigger=0):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        if not (-5000 <= steps <= 5000):
            raise ValueError("number of given steps out of range")
        pLimitSwitch = ct.c_short(0)
        PositionIs = long32()
        move = self.__BallScrew * self.__PositionSafetyCheck(steps)
        self.__activateTriggerOutput(trigger)
        self.__dllCall("VCS_MoveToPosition", self.__keyhandle, self.__NodeId, move, 0, 1,
                       ct.byref(self.__pErrorCode))
        self.__waittillmovementdone(trigger, pLimitSwitch)
        self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId, ct.byref(PositionIs),
                       ct.byref(self.__pErrorCode))
        self.__SetIndexValue(HOME, 0, ct.c_int(PositionIs.value + self.__offset))
        self.__stop = False
        print("arrived at " + "{:.2f}".format(self.__motorpositionToWavelength(self.__HomePosition().value)) + "nm")
        return self.__motorpositionToWavelength(self.__HomePosition().value)

    def moveToWavelength(self, wavelength, highPrecision=0, trigger=0):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        wavelength = self.__wlSafetyCheck(wavelength)
        pLimitSwitch = ct.c_short(0)
        TP = self.__wavelengthToMotorposition(wavelength)
        if trigger != 2 and self.__revMotionTrigger:
            self.__dllCall("VCS_DigitalOutputConfiguration", self.__keyhandle, self.__NodeId, 3, 15, 0, 0, 0,
                           ct.byref(self.__pErrorCode))
        self.__activateTriggerOutput(trigger)
        AP = self.__HomePosition()
        Steps = TP - AP.value
        if self.__BallScrew * Steps < 0 and highPrecision:
            Steps = Steps - 3000 if self.__BallScrew > 0 else Steps + 10000
        self.__dllCall("VCS_MoveToPosition", self.__keyhandle, self.__NodeId, Steps, 0, 1,
                       ct.byref(self.__pErrorCode))
        self.__waittillmovementdone(trigger, pLimitSwitch)
        if pLimitSwitch.value == 0 and not self.__stop and highPrecision:
            self.moveToWavelength(wavelength, 0, trigger)
        if not highPrecision:
            print("arrived at " + "{:.2f}".format(self.__motorpositionToWavelength(self.__HomePosition().value))
                  + "nm")
        self.__stop = False
        return self.__motorpositionToWavelength(self.__HomePosition().value)


def floors(m):
    """The bare ctypes calls of each measured method, inline."""
    lib, h, node, err = m.eposdll, m._motor__keyhandle, m._motor__NodeId, m._motor__pErrorCode
    byref = ct.byref

    def get_wavelength():
        pos = ct.c_int()
        lib.VCS_GetPositionIs(h, node, byref(pos), byref(err))

    def get_current():
        cur = ct.c_short()
        lib.VCS_GetCurrentIs(h, node, byref(cur), byref(err))

    def home():
        data, nb = ct.c_int(), ct.c_int()
        lib.VCS_GetObject(h, node, HOME, 0, byref(data), 4, byref(nb), byref(err))
        return data.value

    def supervise():
        reached, inputs, pos, nb = ct.c_int(), ct.c_short(), ct.c_int(), ct.c_int()
        while not reached.value:
            lib.VCS_GetMovementState(h, node, byref(reached), byref(err))
            sleep(0.1)
            lib.VCS_GetAllDigitalInputs(h, node, byref(inputs), byref(err))
            lib.VCS_GetPositionIs(h, node, byref(pos), byref(err))
        lib.VCS_GetPositionIs(h, node, byref(pos), byref(err))
        lib.VCS_SetObject(h, node, HOME, 0, byref(ct.c_int(pos.value)), 4, byref(nb), byref(err))

    def move_steps_0():
        pos, nb = ct.c_int(), ct.c_int()
        home()
        lib.VCS_MoveToPosition(h, node, 0, 0, 1, byref(err))
        supervise()
        lib.VCS_GetPositionIs(h, node, byref(pos), byref(err))
        lib.VCS_SetObject(h, node, HOME, 0, byref(ct.c_int(pos.value)), 4, byref(nb), byref(err))
        home()
        home()

    def move_to_present():
        home()
        lib.VCS_MoveToPosition(h, node, 0, 0, 1, byref(err))
        supervise()
        home()
        home()

    return get_wavelength, get_current, move_steps_0, move_to_present


def commands(sim, call):
    sim.clear_trace()
    with contextlib.redirect_stdout(io.StringIO()):
        call()
    return [entry["command"] if isinstance(entry, dict) else entry for entry in sim.trace()]


def measure(fn, number):
    t0 = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - t0) / number


def main():
    global sleep
    sim = SimulatedController(os.path.join(os.path.dirname(vostelmotor.__file__), "EposCMD64.dll"))
    sim.use_virtual_clock()
    state = os.environ.get("VOSTEL_SIM_STATE") or os.path.join(tempfile.mkdtemp(), "state.txt")
    sim.reset(state_file=state)
    vostelmotor.sleep = sleep = sim.advance
    m = vostelmotor.motor()
    with contextlib.redirect_stdout(io.StringIO()):
        assert m.connect()
    p = motor.__new__(motor)
    p.__dict__.update(m.__dict__)
    here = m.getWavelength()
    fw, fc, fs, ft = floors(m)
    quiet = contextlib.redirect_stdout(io.StringIO())

    def silently(call):
        def run():
            with quiet:
                call()
        return run

    rows = [
        ("getMoving()", m.getMoving, p.getMoving, None, 5000),
        ("getWavelength()", m.getWavelength, p.getWavelength, fw, 1000),
        ("getCurrent()", m.getCurrent, p.getCurrent, fc, 1000),
        ("moveSteps(0)", silently(lambda: m.moveSteps(0)), silently(lambda: p.moveSteps(0)), silently(fs), 100),
        ("moveToWavelength(here)", silently(lambda: m.moveToWavelength(here)),
         silently(lambda: p.moveToWavelength(here)), silently(ft), 100),
    ]
    for name, mod, py, floor, _ in rows:
        sent = commands(sim, mod)
        if commands(sim, py) != sent:
            sys.exit("%s: the Python version sends other commands than the module" % name)
        if floor and commands(sim, floor) != sent:
            sys.exit("%s: the floor sends other commands than the module" % name)
    best = {name: [math.inf] * 3 for name, *_ in rows}
    for _ in range(int(os.environ.get("VOSTEL_BENCH_ROUNDS", "200"))):
        for name, *calls, number in rows:
            for i, fn in enumerate(calls):
                if fn:
                    best[name][i] = min(best[name][i], measure(fn, number))
    with contextlib.redirect_stdout(io.StringIO()):
        m.disconnect()

    print("CPython %d.%d, us per call (minimum of interleaved rounds)" % sys.version_info[:2])
    print("%-24s %9s %9s %9s %10s %10s" % ("call", "module", "python", "floor", "vs python", "vs floor"))
    for name, *_ in rows:
        t, py, fl = (x * 1e6 for x in best[name])
        print("%-24s %9.3f %9.3f %9s %9.2fx %10s" % (
            name, t, py, "-" if fl == math.inf else "%.3f" % fl, t / py,
            "-" if fl == math.inf else "%.2fx" % (t / fl)))


if __name__ == "__main__":
    main()
