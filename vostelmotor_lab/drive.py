"""The motor behind the IOC, the panel and the check.

One worker thread owns the `vostelmotor.motor` and makes every call on it, so
the controller never receives two commands at once (the motor object shares
one error cell between its commands). Requests come from any thread and
return a `concurrent.futures.Future` at once; what the worker does reaches the
caller through the `report` callable, one dict at a time, in the order it
happened.
"""
import builtins
import concurrent.futures
import contextlib
import dataclasses
import gc
import math
import queue
import sys
import threading
import time
from typing import Optional

import vostelmotor

# States of the drive, in the order of the IOC's STATE PV.
IDLE, MOVING, LIMIT_SWITCH, CALIBRATION_NEEDED, ERROR, DISCONNECTED = range(6)
STATE_NAMES = ("Idle", "Moving", "Limit switch", "Calibration needed", "Error", "Disconnected")

# How a move request ended (MoveResult.outcome).
ARRIVED, STOPPED, REPLACED = "arrived", "stopped", "replaced"
LIMIT_SWITCH_HIT, FAILED_MOVE, LOST, NOT_CONNECTED = "limit switch", "failed", "lost", "not connected"

MAX_STEPS = 5000  # the module's bound for a step move, either way

FAILED = object()


@dataclasses.dataclass(frozen=True)
class MoveResult:
    """How a move request ended. `reached` is the wavelength (nm) the grating
    stands at when that is known, else None."""
    outcome: str
    reached: Optional[float] = None
    message: str = ""

    @property
    def ok(self):
        """The move ran to its target."""
        return self.outcome == ARRIVED


class _Closing(Exception):
    """The drive shuts down while it waits for the operator."""


class ServedMotor(vostelmotor.motor):
    """The module's motor with its limit-switch window served by the caller.

    The module's recovery reaches the calibration window through attribute
    lookup on the object, so this subclass replaces the window alone: the
    back-off to the middle of the range, the trigger reset and the restored
    speed profile stay the module's own. Instead of a Tk entry, the wavelength
    comes from a `Drive.calibrate` request (the IOC's CALIBRATE PV); with it
    the window's job is done as the window does it (calibrate, close the
    connection, flag the move stopped). No Tk window is ever opened, so the
    IOC runs on a server without a display.
    """

    def _motor__limitSwitchCalibrationWindow(self):
        drive = self._vostel_drive
        while True:
            wavelength, future = drive._wait_for_calibration()
            try:
                self.calibration(wavelength)
            except Exception as exc:
                if getattr(self, "_motor__connection", True):  # the window stays open: ask again
                    drive._report_error("Calibration to %r nm failed" % wavelength, exc, CALIBRATION_NEEDED)
                    future.set_exception(exc)
                    continue
                # Stored, but the connection went with the read-back: the
                # window's job is done, as the module's own window closes then.
                drive._report_error("Calibration to %r nm stored, its read-back failed" % wavelength,
                                    exc, DISCONNECTED)
                future.set_result(None)
                break
            future.set_result(None)
            break
        drive._awaiting_calibration = False
        try:
            self.disconnect()
        except Exception:
            pass  # not connected any more
        self._inLimitSwitch = False
        self.stopMovement()
        drive._recalibrated = wavelength


# A move may end this many motor steps from its target and count as arrived
# (the module's landing check).
LANDING_TOLERANCE_STEPS = 20


def landing_tolerance(motor):
    """The landing tolerance in nm at the middle of the calibrated range of a
    connected motor."""
    low, high = motor.getWavelengthMinMax()
    middle = motor._motor__wavelengthToMotorposition((low + high) / 2)
    to_wavelength = motor._motor__motorpositionToWavelength
    return abs(to_wavelength(middle + LANDING_TOLERANCE_STEPS) - to_wavelength(middle))


def describe(exc):
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def _finite(value, what):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError("%s must be a number, not %r" % (what, value)) from None
    if not math.isfinite(number):
        raise ValueError("%s must be a finite number, not %r" % (what, value))
    return number


class _Move:
    """One move request: its future and how it was asked to end."""

    def __init__(self, generation, what, direction=0):
        self.generation = generation
        self.what = what
        self.direction = direction  # +1 toward longer wavelengths, -1 shorter, 0 unknown
        self.future = concurrent.futures.Future()
        self.ended_by = None        # STOPPED or REPLACED, once asked

    def finish(self, outcome, reached=None, message=""):
        """Sets the result once; later calls change nothing."""
        if not self.future.done():
            self.future.set_result(MoveResult(outcome, reached, message))



# Where tkinter's default report of a callback's error keeps it, with its frames.
_LAST_ERROR = ("last_type", "last_value", "last_traceback", "last_exc")


@contextlib.contextmanager
def tk_freed_here():
    """Frees, on this thread, the Tk objects made inside the block.

    Tcl aborts the whole process when a Tk interpreter is deleted by another
    thread than the one that made it. A window made on the worker (the
    module's calibration window, its dialogs) outlives the call in tkinter's
    reference cycles, and an error in one of its callbacks (a wavelength typed
    as "780,5") is kept in sys.last_* together with the window; either would
    let the collector, or the interpreter's exit, free it on the main thread.
    So the error the block reported is forgotten and, if the block left a Tcl
    interpreter alive, the cycles are collected here, before the block's
    result goes anywhere. A full collection takes tens of milliseconds in a
    process with a control system's client loaded: a block that made no
    window (most of the jobs) does without it."""
    kept = {name: getattr(sys, name) for name in _LAST_ERROR if hasattr(sys, name)}
    interpreters = _tcl_interpreters()
    try:
        yield
    finally:
        for name in _LAST_ERROR:
            if name in kept:
                setattr(sys, name, kept[name])
            elif hasattr(sys, name):
                delattr(sys, name)
        if _tcl_interpreters() != interpreters:
            gc.collect()


def _tcl_interpreters():
    """The number of references to tkinter's interpreter type, which every
    live interpreter (behind each Tk window, whatever its class) holds one
    of; None before tkinter is imported. It changes when a block makes an
    interpreter that is still alive when the block ends. (One freed by
    another thread at the same time would hide it: the process's windows
    live on the thread that made them, so that does not happen here.)"""
    _tkinter = sys.modules.get("_tkinter")
    return None if _tkinter is None else sys.getrefcount(_tkinter.TkappType)


class Drive:
    """Runs the motor on a worker thread and reports what it does.

    Requests may come from any thread and return a Future at once. Reports
    are dicts with some of the keys: state, message, readback, current,
    moving, done, limits, speed, limit_switch ("high", "low" or None),
    setpoint, printed."""

    idle_poll = 1.0        # s between readings while standing
    reconnect_every = 2.0  # s between connection attempts

    def __init__(self, report, usb="USB0", calibration_pv="CALIBRATE", motor_class=ServedMotor,
                 capture_output=False):
        self._report = report
        self._usb = usb
        self._calibration_pv = calibration_pv
        self._motor_class = motor_class
        self._capture_output = capture_output
        self.motor = None
        self._jobs = queue.Queue()
        self._calibrations = queue.Queue()
        self._lock = threading.Lock()
        self._generation = 0      # bumped by every move request and stop
        self._queued = []         # move requests not started yet, oldest first
        self._running = None      # the move request whose move runs on the worker
        self._recovering = False  # the module's limit-switch recovery runs
        self._awaiting_calibration = False
        self._stop_requested = threading.Event()
        self._closing = threading.Event()
        self._recalibrated = None
        self._library_missing = False
        self._thread = None
        self._sleep = None
        self._print = None
        self._printing = threading.local()

    # ---------------------------------------------------------------- control
    def start(self):
        # The module waits through its module-level `sleep` and prints through
        # `print`, both looked up at each call. During a move a pause is the
        # only moment the worker is free, so the readback is read and a stop
        # request handed to the module there.
        self._sleep = vostelmotor.sleep
        vostelmotor.sleep = self._pause
        if self._capture_output:
            self._print = vars(vostelmotor).get("print")
            vostelmotor.print = self._printed
        self._thread = threading.Thread(target=self._run, name="vostelmotor-drive", daemon=True)
        self._thread.start()

    def close(self, timeout=15.0):
        """Stops a running move, disconnects and ends the worker; requests
        still waiting end as not served. True when the worker has ended."""
        self._closing.set()
        with self._lock:
            self._generation += 1
            if self._running is not None:
                self._running.ended_by = self._running.ended_by or STOPPED
                self._stop_requested.set()
        self._calibrations.put(None)
        self._jobs.put(None)
        if self._thread is not None:
            self._thread.join(timeout)
        ended = self._thread is None or not self._thread.is_alive()
        if ended:
            if vostelmotor.sleep == self._pause:
                vostelmotor.sleep = self._sleep
            if self._capture_output and vars(vostelmotor).get("print") == self._printed:
                if self._print is None:
                    del vostelmotor.print
                else:
                    vostelmotor.print = self._print
            self._drop_waiting()
        return ended

    @property
    def awaiting_calibration(self):
        """A limit switch was reached: no move before `calibrate`."""
        return self._awaiting_calibration

    # --------------------------------------------------------------- requests
    def move_to(self, wavelength, high_precision=False, trigger=0):
        """Future of the MoveResult of a move to `wavelength` (nm)."""
        wavelength = _finite(wavelength, "the wavelength")
        return self._request_move("Move to %.4f nm" % wavelength, self._move_to,
                                  wavelength, bool(high_precision), int(trigger))

    def move_steps(self, steps, trigger=0):
        """Future of the MoveResult of a move by `steps` motor steps."""
        if isinstance(steps, bool) or not isinstance(steps, int) and not float(steps).is_integer():
            raise ValueError("the step count must be a whole number, not %r" % (steps,))
        steps = int(steps)
        if not -MAX_STEPS <= steps <= MAX_STEPS:
            raise ValueError("number of given steps out of range")
        return self._request_move("Move by %d steps" % steps, self._move_steps, steps, int(trigger))

    def stop(self):
        """Ends the running move and drops the moves not started yet."""
        with self._lock:
            self._generation += 1
            running = self._running
            if running is not None and not self._recovering:
                running.ended_by = running.ended_by or STOPPED
                self._stop_requested.set()

    def set_speed(self, velocity, acceleration, deceleration=None):
        """Speed in nm/s, acceleration and deceleration in nm/s^2
        (deceleration defaults to acceleration): future of the profile read
        back, (velocity, acceleration, deceleration)."""
        velocity = _finite(velocity, "the velocity")
        acceleration = _finite(acceleration, "the acceleration")
        deceleration = acceleration if deceleration is None else _finite(deceleration, "the deceleration")
        if velocity <= 0 or acceleration <= 0 or deceleration <= 0:
            raise ValueError("the velocity, acceleration and deceleration must be positive")
        return self._request(self._set_speed, velocity, acceleration, deceleration)

    def set_trigger_width(self, width):
        """Position-compare pulse every `width` nm: future of None."""
        width = _finite(width, "the trigger interval")
        return self._request(self._checked, "Setting the trigger interval",
                             lambda: self.motor.triggerParameter(width))

    def calibrate(self, wavelength):
        """Declares the present position to be `wavelength` (nm): future of None."""
        wavelength = _finite(wavelength, "the wavelength")
        if self._awaiting_calibration:
            if not isinstance(self.motor, ServedMotor):
                raise RuntimeError("the calibration window is open: enter the wavelength there")
            future = concurrent.futures.Future()
            self._calibrations.put((wavelength, future))
            return future
        return self._request(self._calibrate, wavelength)

    def submit(self, fn):
        """Runs fn(motor) on the worker between moves: future of its result."""
        return self._request(self._submitted, fn)

    def _submitted(self, fn):
        with tk_freed_here():  # Tk dialogs the call may make
            try:
                return fn(self.motor)
            except ConnectionError as exc:
                self._lost(exc, "A request to the controller failed")
                raise

    def _request(self, work, *args):
        future = concurrent.futures.Future()
        self._jobs.put((future, None, work, args))
        return future

    def _request_move(self, what, job, *args):
        if self._awaiting_calibration:
            if isinstance(self.motor, ServedMotor):
                raise RuntimeError("calibration needed after a limit switch: write the actual wavelength to %s"
                                   % self._calibration_pv)
            raise RuntimeError("calibration needed after a limit switch: enter the actual wavelength in the "
                               "calibration window")
        with self._lock:
            self._generation += 1
            move = _Move(self._generation, what)
            running = self._running
            if running is not None and not self._recovering:
                running.ended_by = REPLACED  # a new target replaces the running move
                self._stop_requested.set()
            self._queued.append(move)
        self._jobs.put((move.future, move, job, (move,) + args))
        return move.future

    # ----------------------------------------------------------------- worker
    def _run(self):
        next_connect = 0.0
        while not self._closing.is_set():
            if self.motor is None and not self._library_missing and time.monotonic() >= next_connect:
                if not self._connect():
                    next_connect = time.monotonic() + self.reconnect_every
            try:
                job = self._jobs.get(timeout=self.idle_poll)
            except queue.Empty:
                if self.motor is not None:
                    self._poll()
                continue
            if job is None:
                break
            future, move, work, args = job
            if self.motor is None:
                self._not_connected(future, move)
            elif move is not None:
                try:
                    work(*args)
                except Exception as exc:
                    self._report_error(move.what + " failed", exc, ERROR)
                    move.finish(FAILED_MOVE, None, "%s failed: %s" % (move.what, describe(exc)))
            elif future.set_running_or_notify_cancel():
                try:
                    future.set_result(work(*args))
                except Exception as exc:
                    future.set_exception(exc)
        self._disconnect()

    def _not_connected(self, future, move):
        if move is not None:
            with self._lock:
                self._queued.remove(move)
                more = bool(self._queued)
            self._report({"message": "%s not served: not connected to the controller" % move.what})
            self._report({"done": not more, "moving": False})
            move.finish(NOT_CONNECTED, None, "not connected to the controller")
        elif future.set_running_or_notify_cancel():
            self._report({"message": "Not connected to the controller: request not served"})
            future.set_exception(ConnectionError("not connected to the controller"))

    def _drop_waiting(self):
        """After the worker ended: every request still queued ends."""
        while True:
            try:
                job = self._jobs.get_nowait()
            except queue.Empty:
                break
            if job is None:
                continue
            future, move, _, _ = job
            if move is not None:
                move.finish(NOT_CONNECTED, None, "the drive was closed")
            elif future.set_running_or_notify_cancel():
                future.set_exception(ConnectionError("the drive was closed"))
        if self._running is not None:
            self._running.finish(STOPPED, None, "the drive was closed")

    def _connect(self):
        try:
            motor = self._motor_class()
        except Exception as exc:
            # No command library: asking again would only repeat its dialogs.
            self._report_error("Loading the controller's command library failed", exc, DISCONNECTED)
            self._library_missing = True
            return False
        self._attach(motor)
        try:
            if not motor.connect(self._usb):
                raise ConnectionError("no controller answers on %s" % self._usb)
            self.motor = motor
            low, high = motor.getWavelengthMinMax()
            velocity, acceleration, _ = motor.getVelocityParameter()
        except Exception as exc:
            self.motor = None
            self._report_error("Connecting on %s failed" % self._usb, exc, DISCONNECTED)
            return False
        self._report({"limits": (low, high), "speed": (velocity, acceleration)})
        self._poll(setpoint=True)
        if self.motor is None:
            return False
        self._report({"state": IDLE, "message": "Connected on %s" % self._usb, "limit_switch": None})
        return True

    def _attach(self, motor):
        """Puts the drive between the module and its limit-switch recovery:
        the switch is announced at once, and a move's request ends when the
        calibration window opens, where the drive stands."""
        motor._vostel_drive = self
        cls = type(motor)

        def limit_switch():
            self._limit_switch_reached(motor)
            return cls._motor__limitSwitch(motor)

        def calibration_window():
            self._ask_for_calibration(motor)
            try:
                with tk_freed_here():
                    result = cls._motor__limitSwitchCalibrationWindow(motor)
            finally:
                self._awaiting_calibration = False
            if self._recalibrated is None:
                self._recalibrated = True  # the module's own window: the wavelength was entered there
            return result

        motor._motor__limitSwitch = limit_switch
        motor._motor__limitSwitchCalibrationWindow = calibration_window

    def _disconnect(self):
        if self.motor is not None:
            try:
                self.motor.disconnect()
            except Exception:
                pass
            self.motor = None

    def _lost(self, exc, what):
        """A ConnectionError: start over with a fresh motor object."""
        self._report_error(what, exc, DISCONNECTED)
        self._disconnect()

    def _read(self):
        """(wavelength, current), or None after reporting what failed.

        The module reports a failed read by printing it and answers with what
        its cells held before, so a controller lost while the grating stands
        would go unnoticed: the error cell, cleared first, tells."""
        cell = getattr(self.motor, "_motor__pErrorCode", None)
        try:
            if cell is not None:
                cell.value = 0
            reading = self.motor.getWavelength(), self.motor.getCurrent()
            if cell is not None and cell.value:
                raise ConnectionError("the controller does not answer (error code %#x)" % cell.value)
            return reading
        except ConnectionError as exc:
            self._lost(exc, "Reading the position failed")
        except Exception as exc:
            self._report_error("Reading the position failed", exc, ERROR)
        return None

    def _poll(self, setpoint=False):
        reading = self._read()
        if reading is None:
            return None
        update = {"readback": reading[0], "current": reading[1]}
        if setpoint:
            update["setpoint"] = reading[0]
        self._report(update)
        return reading[0]

    def _call(self, what, method, *args):
        """method(*args), or FAILED after reporting its exception."""
        try:
            return method(*args)
        except ConnectionError as exc:
            self._lost(exc, what + " failed")
        except Exception as exc:
            self._report_error(what + " failed", exc, ERROR)
        return FAILED

    def _checked(self, what, fn):
        """fn(), its exception reported and raised into the request's future."""
        try:
            return fn()
        except ConnectionError as exc:
            self._lost(exc, what + " failed")
            raise
        except Exception as exc:
            self._report_error(what + " failed", exc, ERROR)
            raise

    def _set_speed(self, velocity, acceleration, deceleration):
        self._checked("Setting the speed", lambda: self.motor.setVelocityParameter(velocity, acceleration, deceleration))
        speed = self._checked("Reading the speed", self.motor.getVelocityParameter)
        self._report({"speed": tuple(speed[:2])})
        return tuple(speed)

    def _calibrate(self, wavelength):
        self._checked("Calibration", lambda: self.motor.calibration(wavelength))
        self._poll(setpoint=True)
        self._report({"state": IDLE, "message": "Calibrated to %.4f nm" % wavelength})

    # ------------------------------------------------------------------ moves
    def _move_to(self, move, wavelength, high_precision, trigger):
        start = self._poll()
        if start is not None:
            move.direction = 1 if wavelength > start else -1
        self._run_move(move, lambda: self.motor.moveToWavelength(wavelength, 1 if high_precision else 0, trigger))

    def _move_steps(self, move, steps, trigger):
        sign = getattr(self.motor, "_motor__BallScrew", 0)
        move.direction = (1 if steps * sign > 0 else -1) if sign else 0
        self._run_move(move, lambda: self.motor.moveSteps(steps, trigger))

    def _run_move(self, move, call):
        with self._lock:
            self._queued.remove(move)
            if move.generation != self._generation:
                # Replaced or stopped before it started: nothing was sent.
                newer = any(other.generation > move.generation for other in self._queued) or \
                    move.ended_by == REPLACED
                outcome = REPLACED if newer else STOPPED
                more = bool(self._queued)
                skipped = True
            else:
                self._running = move
                self._stop_requested.clear()
                skipped = False
        if skipped:
            self._report({"message": "%s %s before it started" % (move.what, outcome), "done": not more})
            move.finish(outcome, None, "%s before it started" % outcome)
            return
        self._report({"state": MOVING, "moving": True, "message": move.what})
        error = None
        try:
            reached = call()
        except _Closing:
            reached = None
        except Exception as exc:
            reached, error = None, exc
        with self._lock:
            ended_by = move.ended_by
            self._running = None
            self._recovering = False
            self._stop_requested.clear()
            more = bool(self._queued)
        outcome, where, message = self._after_move(move, reached, error, ended_by)
        self._report({"moving": False, "done": not more})
        move.finish(outcome, where, message)

    def _after_move(self, move, reached, error, ended_by):
        """Reports how the move ended: (outcome, wavelength where the grating
        stands or None, message)."""
        if self._recalibrated is not None:
            value, self._recalibrated = self._recalibrated, None
            self._disconnect()  # the window closed its connection; start a fresh object
            if self._connect():
                text = "Calibrated to %.4f nm after a limit switch" % value if value is not True \
                    else "Calibrated after a limit switch"
                self._report({"message": text})
            return LIMIT_SWITCH_HIT, None, "limit switch reached"
        if error is not None:
            text = "%s failed: %s" % (move.what, describe(error))
            if isinstance(error, ConnectionError):
                self._lost(error, move.what + " failed")
                return LOST, None, text
            self._report_error(move.what + " failed", error, ERROR)
            return FAILED_MOVE, self._poll(), text
        if reached is None:  # closing
            return STOPPED, None, "the drive was closed"
        self._poll()
        if ended_by is None:
            self._report({"state": IDLE, "message": "%s: arrived at %.4f nm" % (move.what, reached)})
            return ARRIVED, reached, "arrived at %.4f nm" % reached
        words = "stopped" if ended_by == STOPPED else "replaced by a newer request"
        self._report({"state": IDLE, "message": "%s: %s at %.4f nm" % (move.what, words, reached)})
        return ended_by, reached, "%s at %.4f nm" % (words, reached)

    # ----------------------------------------------- called inside the module
    def _pause(self, seconds):
        self._sleep(seconds)
        if threading.current_thread() is not self._thread or self._running is None or self._recovering:
            return
        if self._stop_requested.is_set():
            self.motor.stopMovement()
        try:
            self._report({"readback": self.motor.getWavelength(), "current": self.motor.getCurrent()})
        except Exception:
            pass  # the move itself reports what went wrong

    def _printed(self, *values, **options):
        printer = self._print or builtins.print
        printer(*values, **options)
        if threading.current_thread() is not self._thread or options.get("file") is not None \
                or getattr(self._printing, "busy", False):
            return
        text = options.get("sep", " ").join(str(v) for v in values) + options.get("end", "\n")
        self._printing.busy = True  # what the report callable prints is its own
        try:
            self._report({"printed": text.rstrip("\n")})
        finally:
            self._printing.busy = False

    def _limit_switch_reached(self, motor):
        self._recovering = True
        direction = self._running.direction if self._running is not None else 0
        side = {1: "high", -1: "low"}.get(direction)
        where = " (%s end)" % side if side else ""
        self._report({
            "state": LIMIT_SWITCH, "limit_switch": side,
            "message": "Limit switch reached%s: backing off to the middle of the range" % where,
        })

    def _ask_for_calibration(self, motor):
        try:
            readback = motor.getWavelength()
        except Exception:
            readback = None
        self._awaiting_calibration = True
        if isinstance(motor, ServedMotor):
            text = "Limit switch: write the actual wavelength (nm) to %s" % self._calibration_pv
        else:
            text = "Limit switch: enter the actual wavelength (nm) in the calibration window"
        update = {"state": CALIBRATION_NEEDED, "moving": False, "done": True, "message": text}
        if readback is not None:
            update["readback"] = readback
        self._report(update)
        running = self._running
        if running is not None:  # the drive stands: the move's request has ended
            running.finish(LIMIT_SWITCH_HIT, readback, "limit switch reached: calibration needed")

    def _wait_for_calibration(self):
        item = self._calibrations.get()
        if item is None or self._closing.is_set():
            raise _Closing()
        return item

    def _report_error(self, what, exc, state):
        self._report({"state": state, "message": "%s: %s" % (what, describe(exc))})


