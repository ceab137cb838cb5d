"""Host-side cost of the module's public calls on the simulated controller
(virtual clock, sleep patched out), against

  python: the same method written in plain Python below (the same ctypes
          calls, the same attribute accesses, the same helper methods),
  floor:  the bare ctypes calls the method makes, inline,

and what the loader's declarations cost a bare command (the same command on
the same file loaded again with nothing declared).

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
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("VOSTEL_BUILD_DIR", os.path.join(HERE, "..", "build", "python")))
sys.path.insert(0, os.path.join(HERE, "..", "simulator"))

import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402

HOME = 0x2081
LANDING_TOLERANCE = 20
NO_ANSWER_POLLS = 30


def sleep(seconds):
    """Replaced by the simulator's clock in main()."""


def long32():
    return ct.c_long() if ct.sizeof(ct.c_long) == 4 else ct.c_int32()


# What the module keeps beside the motor objects, written the same way: the
# count of failed commands, the moves in progress and the objects whose last
# position was not stored.
failed = [0]
running = {}
unstored = {}


class Running:
    __slots__ = ("thread", "depth", "home", "reached")

    def __init__(self, thread):
        self.thread, self.depth, self.home, self.reached = thread, 0, None, None


def mine(self):
    r = running.get(id(self))
    return r if r is not None and r.thread == threading.get_ident() else None


def open_move(self):
    r = running.get(id(self))
    if r is not None and r.thread != threading.get_ident():
        raise RuntimeError("another move is still running on this motor; wait until it has ended or stop it")
    if r is None:
        self._motor__stop = False
        r = running[id(self)] = Running(threading.get_ident())
    r.depth += 1
    return r


def close_move(self):
    r = running.get(id(self))
    if r is not None:
        r.depth -= 1
        if r.depth == 0:
            del running[id(self)]


def command(self, name, *args):
    return self._motor__dllCall(name, self._motor__keyhandle, self._motor__NodeId, *args,
                                ct.byref(self._motor__pErrorCode))


def enable_drive(self):
    if command(self, "VCS_SetEnableState") == 0:
        command(self, "VCS_ClearFault")
        command(self, "VCS_SetEnableState")


def store_position(self, PositionIs):
    model = PositionIs.value + self._motor__offset
    result = self._motor__SetIndexValue(HOME, 0, ct.c_int(model))
    if result != 0:
        unstored.pop(id(self), None)
    return result


def note_reached(self, value):
    r = mine(self)
    if r is not None:
        r.reached = int(value)


def leave_safe(self, trigger):
    for step in (lambda: command(self, "VCS_SetQuickStopState"), lambda: sleep(1), lambda: enable_drive(self)):
        try:
            step()
        except Exception:
            pass
    try:
        PositionIs = long32()
        if command(self, "VCS_GetPositionIs", ct.byref(PositionIs)) != 0 and store_position(self, PositionIs) != 0:
            unstored.pop(id(self), None)
        else:
            unstored[id(self)] = self._motor__offset
    except Exception:
        pass
    try:
        self._motor__deactivateTriggerOutput(trigger)
    except Exception:
        pass
    self._motor__moving = False


def require_landed(self, scope, target):
    if scope.reached is None or abs(scope.reached - target) <= LANDING_TOLERANCE:
        return
    enable_drive(self)
    raise ConnectionError("the move ended %d steps away from its target" % abs(scope.reached - target))


def stored_wavelength(self):
    failures = failed[0]
    stored = self._motor__HomePosition().value
    if failed[0] != failures:
        r = mine(self)
        if r is None or r.reached is None:
            raise ConnectionError("the stored position could not be read back")
        stored = r.reached
    return self._motor__motorpositionToWavelength(stored)


def print_arrival(self):
    print("arrived at " + "{:.2f}".format(stored_wavelength(self)) + "nm")


class motor:
    """The measured methods and the helpers they call, in plain Python."""

    def __dllCall(self, funcName, *args):
        func = getattr(self.eposdll, funcName)
        result = func(*args)
        if result == 0:
            failed[0] += 1
            print(funcName + " failed with Code " + str(args[-1]._obj.value))
        return result

    def __HomePosition(self):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        pData = ct.c_int()
        pNbOfBytesRead = ct.c_int()
        if self.__dllCall("VCS_GetObject", self.__keyhandle, self.__NodeId,
                          HOME, 0, ct.byref(pData), 4, ct.byref(pNbOfBytesRead), ct.byref(self.__pErrorCode)) != 0:
            r = mine(self)
            if r is not None:
                r.home = int(pData.value)
        return pData

    def __SetIndexValue(self, ObjectIndex, ObjectSubIndex, Value):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        pNbOfBytes = ct.c_int()
        return self.__dllCall("VCS_SetObject", self.__keyhandle, self.__NodeId,
                              ObjectIndex, ObjectSubIndex, ct.byref(Value), 4, ct.byref(pNbOfBytes),
                              ct.byref(self.__pErrorCode))

    def __motorpositionToWavelength(self, Motorposition):
        A, B, C = self.__CoeffA, self.__CoeffB, self.__CoeffC
        return A * Motorposition ** 2 + B * Motorposition + C

    def __wavelengthToMotorposition(self, Wavelength):
        A, B, C = self.__CoeffA, self.__CoeffB, self.__CoeffC
        pm = bool(self.__pm)
        discriminant = B ** 2 - 4 * A * (C - Wavelength)
        if discriminant < 0:
            raise ValueError("No real roots: The discriminant is negative.")
        sqrt_discriminant = math.sqrt(discriminant)
        if pm:
            root = (-B - sqrt_discriminant) / (2 * A)
        else:
            root = (-B + sqrt_discriminant) / (2 * A)
        return int(round(root))

    def __wlSafetyCheck(self, wavelength):
        lowest, highest = self.__minWavelength, self.__maxWavelength
        if wavelength < lowest:
            wavelength = lowest
        if wavelength > highest:
            wavelength = highest
        return wavelength

    def __PositionSafetyCheck(self, steps):
        sign = -1 if self.__BallScrew < 0 else 1
        home = self.__HomePosition().value
        displacement = sign * steps
        tempposition = home + displacement
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
            self.__dllCall("VCS_DigitalOutputConfiguration", self.__keyhandle, self.__NodeId,
                           3, 15, 1, 1, int(self.__revMotionTrigger),
                           ct.byref(self.__pErrorCode))
        if triggerkind == 1:
            self.__activatePositionTrigger()

    def __deactivateTriggerOutput(self, triggerkind):
        if triggerkind == 2:
            self.__dllCall("VCS_DigitalOutputConfiguration", self.__keyhandle, self.__NodeId,
                           3, 15, 1 if self.__revMotionTrigger else 0, 1, 0,
                           ct.byref(self.__pErrorCode))
        if triggerkind == 1:
            self.__deactivatePositionTrigger()

    def __waittillmovementdone(self, trigger, pLimitSwitch):
        seccounter = 0
        unanswered = 0
        PositionIs = long32()
        pTargetReached = long32()
        self.__moving = True
        try:
            while not pTargetReached.value and not self.__stop:
                answered = self.__dllCall("VCS_GetMovementState", self.__keyhandle, self.__NodeId,
                                          ct.byref(pTargetReached), ct.byref(self.__pErrorCode))
                unanswered = unanswered + 1 if answered == 0 else 0
                if unanswered == NO_ANSWER_POLLS:
                    raise ConnectionError("the controller did not answer for 3 s")
                sleep(0.1)
                self.__dllCall("VCS_GetAllDigitalInputs", self.__keyhandle, self.__NodeId,
                               ct.byref(pLimitSwitch), ct.byref(self.__pErrorCode))
                if pLimitSwitch.value:
                    self.__limitSwitch()
                    break
                self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId,
                               ct.byref(PositionIs), ct.byref(self.__pErrorCode))
                seccounter += 1
                if seccounter % 10 == 0 and self.__generateSupportData:
                    raise RuntimeError("support data are not measured")
            failures = failed[0]
            self.__deactivateTriggerOutput(trigger)
            self.__moving = False
            if pLimitSwitch.value:
                return None
            if failed[0] != failures:
                raise ConnectionError("the trigger output could not be switched off after the move")
            if self.__stop:
                raise RuntimeError("stops are not measured")
            if self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId,
                              ct.byref(PositionIs), ct.byref(self.__pErrorCode)) == 0:
                raise ConnectionError("the position reached could not be read")
            if store_position(self, PositionIs) == 0:
                raise ConnectionError("the position reached could not be written")
            note_reached(self, PositionIs.value + self.__offset)
        except BaseException:
            leave_safe(self, trigger)
            raise
        return None

    def getMoving(self):
        return self.__moving

    def getWavelength(self):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        currentPos = long32()
        self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId,
                       ct.byref(currentPos), ct.byref(self.__pErrorCode))
        return self.__motorpositionToWavelength(currentPos.value + self.__offset)

    def getWavelengthMinMax(self):
        if not self.__connection:
            raise ConnectionError("Motor not connected")
        return [self.__minWavelength, self.__maxWavelength]

    def getCurrent(self):
        current = ct.c_short()
        self.__dllCall("VCS_GetCurrentIs", self.__keyhandle, self.__NodeId,
                       ct.byref(current), ct.byref(self.__pErrorCode))
        return current.value

    def moveSteps(self, steps, trigger=0):
        scope = open_move(self)
        try:
            if not self.__connection:
                raise ConnectionError("Motor not connected")
            if not (steps <= 5000 and steps >= -5000):
                raise ValueError("number of given steps out of range")
            if not (trigger == 0 or trigger == 1 or trigger == 2):
                raise ValueError("trigger must be 0 (none), 1 (position compare) or 2 (motion trigger), not %r"
                                 % (trigger,))
            pLimitSwitch = ct.c_short(0)
            PositionIs = long32()
            failures = failed[0]
            move = self.__BallScrew * self.__PositionSafetyCheck(steps)
            if failed[0] != failures:
                raise ConnectionError("the stored position could not be read: the move was not started")
            start = scope.home
            self.__activateTriggerOutput(trigger)
            if self.__dllCall("VCS_MoveToPosition", self.__keyhandle, self.__NodeId,
                              move, 0, 1, ct.byref(self.__pErrorCode)) == 0:
                leave_safe(self, trigger)
                raise ConnectionError("the controller refused the move")
            self.__waittillmovementdone(trigger, pLimitSwitch)
            ran_out = pLimitSwitch.value == 0 and not self.__stop
            if ran_out and start is not None:
                require_landed(self, scope, start + int(move))
            read = self.__dllCall("VCS_GetPositionIs", self.__keyhandle, self.__NodeId,
                                  ct.byref(PositionIs), ct.byref(self.__pErrorCode)) != 0
            if not read and pLimitSwitch.value == 0:
                leave_safe(self, trigger)
                raise ConnectionError("the position reached could not be read")
            if store_position(self, PositionIs) == 0:
                leave_safe(self, trigger)
                raise ConnectionError("the position reached could not be written to the controller")
            note_reached(self, PositionIs.value + self.__offset)
            self.__stop = False
            print_arrival(self)
            return stored_wavelength(self)
        finally:
            close_move(self)

    def moveToWavelength(self, wavelength, highPrecision=0, trigger=0):
        scope = open_move(self)
        try:
            if not self.__connection:
                raise ConnectionError("Motor not connected")
            try:
                finite = math.isfinite(float(wavelength))
            except OverflowError:
                finite = True
            if not finite:
                raise ValueError("wavelength must be a finite number of nm, not %r" % (wavelength,))
            if not (trigger == 0 or trigger == 1 or trigger == 2):
                raise ValueError("trigger must be 0 (none), 1 (position compare) or 2 (motion trigger), not %r"
                                 % (trigger,))
            precise = bool(highPrecision)
            wavelength = self.__wlSafetyCheck(wavelength)
            pLimitSwitch = ct.c_short(0)
            TP = self.__wavelengthToMotorposition(wavelength)
            if trigger != 2 and self.__revMotionTrigger:
                self.__dllCall("VCS_DigitalOutputConfiguration", self.__keyhandle, self.__NodeId, 3, 15, 0, 0, 0,
                           ct.byref(self.__pErrorCode))
            self.__activateTriggerOutput(trigger)
            failures = failed[0]
            AP = self.__HomePosition()
            if failed[0] != failures:
                leave_safe(self, trigger)
                raise ConnectionError("the stored position could not be read: the move was not started")
            Steps = TP - AP.value
            ballScrew = self.__BallScrew
            if ballScrew * Steps < 0 and precise:
                Steps = Steps - 3000 if ballScrew > 0 else Steps + 10000
            if self.__dllCall("VCS_MoveToPosition", self.__keyhandle, self.__NodeId,
                              Steps, 0, 1, ct.byref(self.__pErrorCode)) == 0:
                leave_safe(self, trigger)
                raise ConnectionError("the controller refused the move")
            self.__waittillmovementdone(trigger, pLimitSwitch)
            ran_out = pLimitSwitch.value == 0 and not self.__stop
            if ran_out:
                require_landed(self, scope, int(AP.value + Steps))
            if ran_out and precise:
                self.moveToWavelength(wavelength, 0, trigger)
            if not precise:
                print_arrival(self)
            self.__stop = False
            return stored_wavelength(self)
        finally:
            close_move(self)


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
        ("getWavelengthMinMax()", m.getWavelengthMinMax, p.getWavelengthMinMax, None, 5000),
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
    if m.getWavelengthMinMax() != p.getWavelengthMinMax():
        sys.exit("getWavelengthMinMax(): the Python version gives another range than the module")
    # What the declarations the loader makes on Linux cost a bare command: the
    # same file loaded again, with nothing declared (the simulated controller's
    # handle fits the 32-bit int an undeclared argument passes as).
    undeclared = ct.CDLL(m.eposdll._name)
    bare = {}
    for label, lib in (("declared", m.eposdll), ("undeclared", undeclared)):
        f, h, node, err, cur = lib.VCS_GetCurrentIs, m._motor__keyhandle, m._motor__NodeId, m._motor__pErrorCode, ct.c_short()
        bare[label] = lambda f=f, h=h, node=node, err=err, cur=cur: f(h, node, ct.byref(cur), ct.byref(err))
    best = {name: [math.inf] * 3 for name, *_ in rows}
    best_bare = {label: math.inf for label in bare}
    for _ in range(int(os.environ.get("VOSTEL_BENCH_ROUNDS", "200"))):
        for name, *calls, number in rows:
            for i, fn in enumerate(calls):
                if fn:
                    best[name][i] = min(best[name][i], measure(fn, number))
        for label, fn in bare.items():
            best_bare[label] = min(best_bare[label], measure(fn, 1000))
    with contextlib.redirect_stdout(io.StringIO()):
        m.disconnect()

    print("CPython %d.%d, us per call (minimum of interleaved rounds)" % sys.version_info[:2])
    print("%-24s %9s %9s %9s %10s %10s" % ("call", "module", "python", "floor", "vs python", "vs floor"))
    for name, *_ in rows:
        t, py, fl = (x * 1e6 for x in best[name])
        print("%-24s %9.3f %9.3f %9s %9.2fx %10s" % (
            name, t, py, "-" if fl == math.inf else "%.3f" % fl, t / py,
            "-" if fl == math.inf else "%.2fx" % (t / fl)))
    declared, plain = (best_bare[label] * 1e6 for label in ("declared", "undeclared"))
    print("bare VCS_GetCurrentIs: %.3f us as the loader declares it, %.3f us undeclared (%.2fx)"
          % (declared, plain, declared / plain))


if __name__ == "__main__":
    main()
