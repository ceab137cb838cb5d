"""A working session on the simulated controller, step by step, shared by the
test that pins its command sequence and by the fault matrix."""
import vostelmotor


class Clock:
    """The module's sleep on the simulator's virtual clock, with hooks run at
    given simulated times (a fault, a pulled cable, a stop request)."""

    def __init__(self, sim):
        self.sim = sim
        self.hooks = []  # (time, action)

    def at(self, seconds_from_now, action):
        self.hooks.append((self.sim.time() + seconds_from_now, action))

    def sleep(self, seconds):
        self.sim.advance(seconds)
        due = [h for h in self.hooks if h[0] <= self.sim.time() + 1e-6]
        self.hooks = [h for h in self.hooks if h not in due]
        for _, action in due:
            action()


def install(sim, monkeypatch):
    clock = Clock(sim)
    monkeypatch.setattr(vostelmotor, "sleep", clock.sleep)
    return clock


# The operations of a session, each a function(motor, clock). A stop request
# arrives half a second into a long move, as from a Stop button.
def op_connect(m, clock):
    return m.connect()


def op_plain(m, clock):
    return m.moveToWavelength(772.0)


def op_high_precision(m, clock):
    return m.moveToWavelength(768.0, highPrecision=1)  # toward shorter: two legs


def op_steps(m, clock):
    return m.moveSteps(-1500)


def op_position_compare(m, clock):
    m.triggerParameter(0.5)
    return m.moveToWavelength(776.0, trigger=1)


def op_motion_trigger(m, clock):
    return m.moveToWavelength(779.0, trigger=2)


def op_stopped(m, clock):
    clock.at(0.5, m.stopMovement)
    return m.moveToWavelength(795.0)


def op_calibration(m, clock):
    return m.calibration(781.0)


def op_disconnect(m, clock):
    return m.disconnect()


SESSION = [op_connect, op_plain, op_high_precision, op_steps, op_position_compare, op_motion_trigger,
           op_stopped, op_calibration, op_disconnect]


def commands(sim):
    """The commands the controller received, with the handle left out."""
    out = []
    for c in sim.trace()["commands"]:
        args = c["args"].split(", ")
        if c["name"] not in ("VCS_OpenDevice",):
            args = args[1:]
        out.append("%s(%s)" % (c["name"], ", ".join(args)))
    return out
