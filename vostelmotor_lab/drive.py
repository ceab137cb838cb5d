"""The motor behind the IOC, the panel and the check.

One worker thread owns the `vostelmotor.motor` and makes every call on it, so
the controller never receives two commands at once (the motor object shares
one error cell between its commands). The server side only queues requests
and receives updates through the `report` callable, one dict at a time, in the
order they happened.
"""
import queue
import threading
import time

import vostelmotor

# States of the drive, in the order of the IOC's STATE PV.
IDLE, MOVING, LIMIT_SWITCH, CALIBRATION_NEEDED, ERROR, DISCONNECTED = range(6)
STATE_NAMES = ("Idle", "Moving", "Limit switch", "Calibration needed", "Error", "Disconnected")


FAILED = object()


class _Closing(Exception):
    """The IOC shuts down while the drive waits for the operator."""


class ServedMotor(vostelmotor.motor):
    """The module's motor with its limit-switch dialog served by the IOC.

    The module's recovery reaches the calibration window through attribute
    lookup on the object, so this subclass replaces the window alone: the
    back-off to the middle of the range, the trigger reset and the restored
    speed profile stay the module's own. Instead of a Tk entry, the wavelength
    comes from the IOC's CALIBRATE PV; with it the window's job is done as the
    window does it (calibrate, close the connection, flag the move stopped).
    No Tk window is ever opened, so the IOC runs on a server without a display.
    """

    def __init__(self, drive):
        self._ioc_drive = drive
        vostelmotor.motor.__init__(self)

    def _motor__limitSwitch(self):
        # Announce the switch at once; the recovery itself is the module's.
        self._ioc_drive._limit_switch_reached()
        return vostelmotor.motor._motor__limitSwitch(self)

    def _motor__limitSwitchCalibrationWindow(self):
        drive = self._ioc_drive
        drive._ask_for_calibration()
        while True:
            wavelength = drive._wait_for_calibration()
            try:
                self.calibration(wavelength)
            except Exception as exc:  # the window stays open: ask again
                drive._report_error("Calibration to %r nm failed" % wavelength, exc, CALIBRATION_NEEDED)
                continue
            break
        drive._awaiting_calibration = False
        self.disconnect()
        self._inLimitSwitch = False
        self.stopMovement()
        drive._recalibrated = wavelength


def describe(exc):
    text = str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


class Drive:
    """Runs the motor on a worker thread and reports what it does.

    Requests (`move_to`, `stop`, `set_speed`, `set_trigger_width`,
    `calibrate`) may come from any thread and return at once. Reports are
    dicts with some of the keys: state, message, readback, current, moving,
    done, limits, speed, limit_switch ("high", "low" or None)."""

    idle_poll = 1.0        # s between readings while standing
    reconnect_every = 2.0  # s between connection attempts

    def __init__(self, report, usb="USB0", calibration_pv="CALIBRATE", motor_class=ServedMotor):
        self._report = report
        self._usb = usb
        self._calibration_pv = calibration_pv
        self._motor_class = motor_class
        self.motor = None
        self._jobs = queue.Queue()
        self._calibrations = queue.Queue()
        self._lock = threading.Lock()
        self._generation = 0      # bumped by every move request and stop
        self._queued_move = None  # generation of the newest move request
        self._moving = False      # a move method runs on the worker
        self._recovering = False  # the module's limit-switch recovery runs
        self._awaiting_calibration = False
        self._stop_requested = threading.Event()
        self._closing = threading.Event()
        self._recalibrated = None
        self._library_missing = False
        self._direction = 0
        self._thread = None
        self._sleep = None

    # ---------------------------------------------------------------- control
    def start(self):
        # The module waits through its module-level `sleep`, looked up at each
        # call. During a move that is the only moment the worker is free, so
        # the readback is read and a stop request handed to the module there.
        self._sleep = vostelmotor.sleep
        vostelmotor.sleep = self._pause
        self._thread = threading.Thread(target=self._run, name="vostelmotor-ioc-drive", daemon=True)
        self._thread.start()

    def close(self, timeout=15.0):
        """Stops a running move, disconnects and ends the worker."""
        self._closing.set()
        with self._lock:
            self._generation += 1
            if self._moving:
                self._stop_requested.set()
        self._calibrations.put(None)
        self._jobs.put(None)
        if self._thread is not None:
            self._thread.join(timeout)
        if vostelmotor.sleep == self._pause:
            vostelmotor.sleep = self._sleep
        return self._thread is None or not self._thread.is_alive()

    # --------------------------------------------------------------- requests
    def move_to(self, wavelength, high_precision=False, trigger=0):
        if self._awaiting_calibration:
            raise RuntimeError("calibration needed after a limit switch")
        with self._lock:
            self._generation += 1
            generation = self._queued_move = self._generation
            if self._moving:
                self._stop_requested.set()  # a new target replaces the running move
        self._jobs.put(lambda: self._move(generation, wavelength, high_precision, trigger))

    def stop(self):
        with self._lock:
            self._generation += 1
            if self._moving and not self._recovering:
                self._stop_requested.set()

    def set_speed(self, velocity, seconds_to_velocity):
        """Velocity in nm/s; the acceleration (and deceleration) in nm/s^2 is
        the velocity divided by the time to reach it, as the motor record's
        ACCL field defines it."""
        self._jobs.put(lambda: self._set_speed(velocity, seconds_to_velocity))

    def set_trigger_width(self, width):
        self._jobs.put(lambda: self._call("Trigger interval", self.motor.triggerParameter, width))

    def calibrate(self, wavelength):
        if self._awaiting_calibration:
            self._calibrations.put(wavelength)
        else:
            self._jobs.put(lambda: self._calibrate(wavelength))

    @property
    def awaiting_calibration(self):
        return self._awaiting_calibration

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
            if self.motor is None:
                self._report({"message": "Not connected to the controller: request dropped"})
                with self._lock:
                    self._queued_move = None
                self._report({"done": True, "moving": False})
                continue
            job()
        self._disconnect()

    def _connect(self):
        try:
            motor = self._motor_class(self)
        except Exception as exc:
            # No command library: asking again would only repeat its dialogs.
            self._report_error("Loading the controller's command library failed", exc, DISCONNECTED)
            self._library_missing = True
            return False
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
        self._report({"state": IDLE, "message": "Connected on %s" % self._usb, "limit_switch": None})
        return True

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

    def _poll(self, setpoint=False):
        try:
            update = {"readback": self.motor.getWavelength(), "current": self.motor.getCurrent()}
        except ConnectionError as exc:
            self._lost(exc, "Reading the position failed")
            return
        except Exception as exc:
            self._report_error("Reading the position failed", exc, ERROR)
            return
        if setpoint:
            update["setpoint"] = update["readback"]
        self._report(update)

    def _call(self, what, method, *args):
        """method(*args), or FAILED after reporting its exception."""
        try:
            return method(*args)
        except ConnectionError as exc:
            self._lost(exc, what + " failed")
        except Exception as exc:
            self._report_error(what + " failed", exc, ERROR)
        return FAILED

    def _set_speed(self, velocity, seconds_to_velocity):
        if seconds_to_velocity > 0:
            acceleration = velocity / seconds_to_velocity
            self._call("Setting the speed", self.motor.setVelocityParameter, velocity, acceleration, acceleration)
        else:
            self._report_error("Setting the speed failed", ValueError("ACCL must be positive"), ERROR)
        if self.motor is not None:
            speed = self._call("Reading the speed", self.motor.getVelocityParameter)
            if speed is not FAILED:
                self._report({"speed": speed[:2]})

    def _calibrate(self, wavelength):
        if self._call("Calibration", self.motor.calibration, wavelength) is not FAILED:
            self._poll(setpoint=True)
            self._report({"state": IDLE, "message": "Calibrated to %.4f nm" % wavelength})

    def _move(self, generation, wavelength, high_precision, trigger):
        with self._lock:
            if generation != self._generation:
                if self._queued_move == generation:
                    self._queued_move = None
                    self._report({"done": True})
                return  # replaced or stopped before it started
            self._moving = True
            self._queued_move = None
            self._stop_requested.clear()
        try:
            start = self.motor.getWavelength()
        except Exception:
            start = wavelength
        self._direction = 1 if wavelength > start else -1
        self._report({"state": MOVING, "moving": True, "message": "Moving to %.4f nm" % wavelength})
        error = None
        try:
            reached = self.motor.moveToWavelength(wavelength, 1 if high_precision else 0, trigger)
        except _Closing:
            reached, error = None, None
        except Exception as exc:
            reached, error = None, exc
        with self._lock:
            stopped = self._stop_requested.is_set()
            self._moving = False
            self._recovering = False
            self._stop_requested.clear()
            more = self._queued_move is not None and self._queued_move == self._generation
        if self._recalibrated is not None:
            value, self._recalibrated = self._recalibrated, None
            self.motor = None  # the window closed its connection; start a fresh object
            if self._connect():
                self._report({"message": "Calibrated to %.4f nm after a limit switch" % value})
        elif error is not None:
            if isinstance(error, ConnectionError):
                self._lost(error, "Move to %.4f nm failed" % wavelength)
            else:
                self._report_error("Move to %.4f nm failed" % wavelength, error, ERROR)
                self._poll()
        else:
            self._poll()
            if reached is not None:
                self._report({"state": IDLE, "message": "%s at %.4f nm" % ("Stopped" if stopped else "Arrived", reached)})
        self._report({"moving": False, "done": not more})

    # ----------------------------------------------- called inside the module
    def _pause(self, seconds):
        self._sleep(seconds)
        if threading.current_thread() is not self._thread or not self._moving or self._recovering:
            return
        if self._stop_requested.is_set():
            self.motor.stopMovement()
        try:
            self._report({"readback": self.motor.getWavelength(), "current": self.motor.getCurrent()})
        except Exception:
            pass  # the move itself reports what went wrong

    def _limit_switch_reached(self):
        self._recovering = True
        side = "high" if self._direction > 0 else "low"
        self._report({
            "state": LIMIT_SWITCH, "limit_switch": side,
            "message": "Limit switch reached (%s end): backing off to the middle of the range" % side,
        })

    def _ask_for_calibration(self):
        try:
            readback = self.motor.getWavelength()
        except Exception:
            readback = None
        self._awaiting_calibration = True
        update = {
            "state": CALIBRATION_NEEDED, "moving": False, "done": True,
            "message": "Limit switch: write the actual wavelength (nm) to %s" % self._calibration_pv,
        }
        if readback is not None:
            update["readback"] = readback
        self._report(update)

    def _wait_for_calibration(self):
        value = self._calibrations.get()
        if value is None or self._closing.is_set():
            raise _Closing()
        return value

    def _report_error(self, what, exc, state):
        self._report({"state": state, "message": "%s: %s" % (what, describe(exc))})
