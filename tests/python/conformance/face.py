"""What a face of the grating motor offers the conformance suite.

A face is one way a client reaches the motor: the bluesky device in this
process, Channel Access through ophyd-async or ophyd, PVAccess, Tango...
Every scenario of test_conformance.py is written once, against the `Face`
class below, and runs on every face.

Registering a face: a file `face_<name>.py` in this folder defines `FACES`, a
list of `Face` subclasses. Importing that file must not import the client
packages (import them inside the methods); each class names them in
`requires`. The suite collects every face of every such file and skips the
faces whose required modules do not import, with the import error as the
reason.

A face's methods are plain blocking calls (an adapter over an asyncio client
runs its coroutines on a loop of its own; `EventLoopThread` is one). Times are
in seconds, wavelengths in nm.

The server side: `open(rig)` starts what the face serves the motor with, on
the simulated controller that the rig prepared in this process, bound to
127.0.0.1 only, and connects the client; `close()` ends both. A face whose
server runs in another process sets `controller` to its own object with the
methods of `Controller`, which reaches the simulator of that process.

Where a face's protocol cannot express a scenario, `cannot` names it with the
reason (the scenario is skipped on that face); where its client library has a
fault that fails a scenario, `known_failures` does (an expected failure, strict).

Shared pieces, beside this file: ophyd_async_face.OphydAsyncFace (a device
on a RunEngine's loop; face_ca.OphydAsyncCA with another `scheme` and
`serve()` is the face of another EPICS protocol), served.serve_ioc (the IOC
in this process on the run's Channel Access settings, the ca_session fixture
of conftest.py), scanning.list_scan (a bluesky list_scan with the probe as
detector). The rig's `fixture` gives the pytest fixtures of tests/python.
"""
import asyncio
import concurrent.futures
import threading
import time

# What alarm() answers.
NO_ALARM = "none"     # standing or moving, nothing wrong
LIMIT = "limit"       # a limit switch was reached: calibration needed before the next move
FAULT = "fault"       # the controller is lost or a command failed

# The alarm that each state of the drive (its STATE_NAMES, which the IOC's
# STATE PV and the bluesky device's state signal show) stands for.
STATE_ALARMS = {"Idle": NO_ALARM, "Moving": NO_ALARM, "Limit switch": LIMIT, "Calibration needed": LIMIT,
                "Error": FAULT, "Disconnected": FAULT}

# The ids of the scenarios, for `Face.cannot`.
SCENARIOS = ("move_and_wait", "move_without_waiting", "stop_mid_move", "out_of_range_refused",
             "new_setpoint_while_moving", "limit_switch", "lost_move_fails", "controller_lost_and_back",
             "calibration", "speed", "scan", "limit_move_fails", "refused_until_calibrated",
             "refused_while_lost", "stopped_move_fails")


class MoveFailed(Exception):
    """A move that did not reach its target: refused, stopped, replaced, ended
    by a limit switch or by a lost controller. The text is the face's own
    reason, as its client library gave it."""


class Refused(MoveFailed):
    """A move refused before anything was sent. Faces whose client cannot tell
    a refusal from another failure raise MoveFailed: the suite asks the
    controller whether anything moved."""


class Controller:
    """The simulated controller as the scenarios act on it: the switches, the
    cable, and what it was told. Wraps simulator/simcontrol.py's
    SimulatedController loaded in this process."""

    def __init__(self, sim):
        self.sim = sim

    def set_limit_switches(self, negative, positive):
        """Limit switches at these controller positions (steps). Positions grow
        toward shorter wavelengths; 2000 steps are about 1 nm, and 0 is
        780 nm on a fresh controller."""
        self.sim.set_limit_switches(negative, positive)

    def unplug(self):
        """The USB cable is pulled: every command fails until plug()."""
        self.sim.set_plugged(False)

    def plug(self):
        self.sim.set_plugged(True)

    def moving(self):
        """The drive is moving right now."""
        return self.sim.moving()

    def position(self):
        """The controller's actual position in steps."""
        return self.sim.position()

    def command_count(self, command):
        """How many times `command` (a VCS_ name) was sent since clear_trace()."""
        return self.sim.command_count(command)

    def clear_trace(self):
        self.sim.clear_trace()


class Rig:
    """What the suite gives a face: the simulated controller in this process,
    already on the wall clock and on a state file of this test, and a few
    things to set up a server on the loopback."""

    usb = "USB0"

    def __init__(self, sim, name, setenv, free_port, tmp_path, fixture=None, wall_speed=1.0):
        self.sim = sim                   # simcontrol.SimulatedController
        self.controller = Controller(sim)
        self.name = name                 # unique in this test run, usable as a PV prefix ("CONF3:")
        self.setenv = setenv             # setenv(key, value): undone when the test ends
        self.free_port = free_port       # free_port(): a TCP and UDP port free on 127.0.0.1
        self.tmp_path = tmp_path         # a folder of this test's own (pathlib.Path)
        # fixture(name): a pytest fixture of this test by name (tests/python/conftest.py's
        # "serve", "epics_env", "ca_repeater", ...); torn down when the test ends.
        self.fixture = fixture
        # The simulator's clock runs this many times faster than the wall clock;
        # a face that starts a server through the "serve" fixture passes it on.
        self.wall_speed = wall_speed


class Pending:
    """A move that was started. Faces build one from a concurrent.futures
    Future (the default) or subclass it."""

    def __init__(self, future):
        self._future = future

    def done(self):
        """The face has reported the end of the move (whatever the end)."""
        return self._future.done()

    def wait(self, timeout=60.0):
        """Returns when the face reports the move arrived; raises MoveFailed
        when it reports any other end, TimeoutError when it reports none
        within `timeout`."""
        try:
            self._future.result(timeout)
        except concurrent.futures.TimeoutError:
            raise TimeoutError("the face reported no end of the move within %s s" % timeout) from None
        except MoveFailed:
            raise
        except Exception as exc:
            raise MoveFailed("%s: %s" % (type(exc).__name__, exc)) from exc


class Face:
    """One way to reach the motor. Subclasses implement every method that
    raises NotImplementedError; the rest have working defaults."""

    name = "?"            # short id shown in the test names ("ca-ophyd-async")
    requires = ()         # modules that must import, else the face is skipped
    # Scenario id (see SCENARIOS) -> why this protocol or client cannot express
    # it; the scenario is then skipped for this face with that reason.
    cannot = {}
    # Scenario id -> a fault of the client library (not of the protocol) that
    # makes the scenario fail on this face; the scenario is then an expected
    # failure, strict: the suite notices when the client is fixed.
    known_failures = {}
    # The client binds sockets on every interface (libca does, and cannot be
    # told otherwise): the face then runs only in a network namespace whose one
    # interface is the loopback (test_private_network.py starts that run).
    private_network = False
    # Seconds after which `scan` gives up.
    scan_timeout = 120.0

    controller = None     # a Controller; set from the rig by open() unless the face brings its own

    # ------------------------------------------------------------ life cycle
    def open(self, rig):
        """Starts the server on rig.sim, connects the client and returns once
        the face shows the motor connected and standing (alarm() == NO_ALARM).
        Sets self.controller (rig.controller for a server in this process)."""
        raise NotImplementedError

    def close(self):
        """Disconnects and stops the server; safe after a failed open()."""
        raise NotImplementedError

    # ---------------------------------------------------------------- motion
    def start_move(self, target):
        """Asks for a move to `target` and returns a Pending without waiting
        for it. A face may raise MoveFailed (or Refused) here for a move
        refused at once, or report the refusal through the Pending."""
        raise NotImplementedError

    def move(self, target, timeout=60.0):
        """Moves to `target` and waits; MoveFailed when it did not get there."""
        self.start_move(target).wait(timeout)

    def stop(self):
        """Asks the running move to stop; returns at once."""
        raise NotImplementedError

    # ----------------------------------------------------------------- reads
    def position(self):
        """The readback (nm) as the face shows it now."""
        raise NotImplementedError

    def moving(self):
        """The face shows a move in progress."""
        raise NotImplementedError

    def alarm(self):
        """NO_ALARM, LIMIT or FAULT, as the face shows it now."""
        raise NotImplementedError

    def limit_switches(self):
        """(low, high): the limit switches the face shows as reached."""
        raise NotImplementedError

    def limits(self):
        """(lowest, highest) setpoint the face accepts, nm."""
        raise NotImplementedError

    # -------------------------------------------------------------- settings
    def speed(self):
        """The speed (nm/s) the face shows."""
        raise NotImplementedError

    def set_speed(self, velocity):
        """Sets the speed (nm/s) and returns once the face shows it."""
        raise NotImplementedError

    def calibrate(self, wavelength):
        """Declares the present position to be `wavelength` (nm), nothing
        moves; returns once done. Also the way out of LIMIT."""
        raise NotImplementedError

    def wait_ready(self, timeout=30.0):
        """Returns once the face shows the motor standing without alarm (for
        open(): a server connects to the controller on its own time)."""
        deadline = time.monotonic() + timeout
        while self.alarm() != NO_ALARM or self.moving():
            if time.monotonic() > deadline:
                raise TimeoutError("%s: the motor did not show up connected and standing within %s s"
                                   % (self.name, timeout))
            time.sleep(0.05)

    # ------------------------------------------------------------------ scan
    def scan(self, points, probe):
        """Steps through `points` (nm), and at each point, once the face
        reports the move done, reads `probe()` as a detector would.
        Returns one (face's reading of the position, probe's value) pair per
        point, in order. This default moves and reads point by point; faces
        with a bluesky device run a real plan (bp.list_scan) instead."""
        readings = []
        for point in points:
            self.move(point)
            readings.append((self.position(), probe()))
        return readings


class EventLoopThread:
    """An asyncio loop on a thread of its own, for faces over asyncio
    clients: run(coro) blocks for the result, submit(coro) gives a
    concurrent.futures.Future."""

    def __init__(self, name="face-loop"):
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self.loop.run_forever, name=name, daemon=True)
        self._thread.start()

    def submit(self, coro):
        return asyncio.run_coroutine_threadsafe(coro, self.loop)

    def run(self, coro, timeout=60.0):
        return self.submit(coro).result(timeout)

    def close(self):
        if self.loop.is_closed():
            return
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(10)
        if not self._thread.is_alive():
            self.loop.close()
