"""A first script on the simulated controller: what a lab script does with the
instrument, printed step by step, ending with a plot of the wavelength over
time with every move labelled and the trigger pulses marked at their
wavelengths.

    python3 examples/demo.py [output folder]

Run it from the repository root after `bash scripts/demo.sh` (which builds
the module with the simulated controller beside it in build-demo/python and
runs this script). The simulated controller runs on a virtual clock here: the
module's waits advance it, so the demo takes seconds, not minutes. No display
is needed: the demo answers the support-data folder dialog itself.
"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simulated_lab  # noqa: E402

vostelmotor, SimulatedController = simulated_lab.import_module(wanted=["matplotlib"])


class Moves:
    """Runs the motor's moves and notes when each started and ended (in
    simulated time) and what it was, for the plot."""

    def __init__(self, sim):
        self.sim = sim
        self.done = []

    def run(self, label, move, *args, **kwargs):
        start = self.sim.time()
        pulses = self.sim.pulse_count()
        reached = move(*args, **kwargs)
        self.done.append({"label": label, "start": start, "end": self.sim.time(),
                          "pulses": self.sim.pulse_count() - pulses})
        return reached


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    sim = simulated_lab.simulated_controller(vostelmotor, SimulatedController,
                                             os.path.join(out_dir, "simulated_controller_state.txt"))
    initial_level = sim.output_level(3)
    moves = Moves(sim)

    print("== creating the motor object and connecting")
    m = vostelmotor.motor()
    print("command library:", m.eposdll._name)
    print("connected:", m.connect())
    lo, hi = m.getWavelengthMinMax()
    print("calibrated range: %.2f nm to %.2f nm" % (lo, hi))
    scale = simulated_lab.WavelengthScale(m, sim.position())

    print("\n== speed profile")
    m.setVelocityParameter(2.0, 4.0, 4.0)

    print("\n== moves")
    reached = moves.run("to 775 nm", m.moveToWavelength, 775.0)
    print("plain move returned %.4f nm after %.1f s" % (reached, moves.done[-1]["end"] - moves.done[-1]["start"]))
    reached = moves.run("to 772.5 nm, high precision (from below)", m.moveToWavelength, 772.5, highPrecision=1)
    print("high-precision move (approached from below) returned %.4f nm after %.1f s"
          % (reached, moves.done[-1]["end"] - moves.done[-1]["start"]))

    levels_before = len(sim.trace()["outputs"])
    moves.run("to 778 nm, motion trigger", m.moveToWavelength, 778.0, trigger=2)
    output_changes = len(sim.trace()["outputs"]) - levels_before
    print("move with the motion trigger: output 3 changed level %d times" % output_changes)

    m.triggerParameter(0.5)
    moves.run("to 782 nm, pulse every 0.5 nm", m.moveToWavelength, 782.0, trigger=1)
    pulse_move = moves.done[-1]
    pulses = [p for p in sim.trace()["pulses"] if pulse_move["start"] <= p["t"] <= pulse_move["end"]]
    print("move of 4 nm with a pulse every 0.5 nm: the controller emitted %d pulses, at" % len(pulses))
    print("   " + ", ".join("%.3f" % scale(p["position"]) for p in pulses) + " nm")

    moves.run("2500 steps up", m.moveSteps, 2500)
    moves.run("2500 steps down", m.moveSteps, -2500)
    print("wavelength now: %.4f nm, motor current at rest %d mA" % (m.getWavelength(), m.getCurrent()))

    print("\n== support data")
    with simulated_lab.folder_dialog_answered(vostelmotor, out_dir):
        m.generateSupportData()
    moves.run("to 785 nm, support data on", m.moveToWavelength, 785.0)
    support = os.path.join(out_dir, "SupportData_VostelMotorControl.txt")
    with open(support) as f:
        lines = f.read().splitlines()
    print("support file %s has %d lines: the snapshot, then samples of the move:" % (support, len(lines)))
    for line in lines[:4] + ["..."] + lines[-3:]:
        print("   ", line)

    print("\n== parameters")
    names = ["A", "B", "C", "min wavelength", "max wavelength", "min velocity", "min acceleration",
             "min deceleration", "max velocity", "max acceleration", "max deceleration"]
    for name, value in zip(names, m.getMotorParamters()):
        print("   %-17s %r" % (name, value))

    m.disconnect()
    plot(sim.trace(), scale, moves.done, initial_level, os.path.join(out_dir, "demo_trace.png"))


def output_steps(trace, initial_level):
    """The level of digital output 3 as a step curve over the whole trace."""
    xs, ys = [0.0], [initial_level]
    for o in trace["outputs"]:
        if o["output"] == 3:
            xs += [o["t"], o["t"]]
            ys += [ys[-1], o["level"]]
    return xs + [trace["time"]], ys + [ys[-1]]


def plot(trace, scale, moves, initial_level, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed; no plot")
        return
    fig = plt.figure(figsize=(12, 8.5))
    grid = fig.add_gridspec(2, 2, height_ratios=[3, 1], width_ratios=[3, 2])
    ax_wl = fig.add_subplot(grid[0, 0])
    ax_zoom = fig.add_subplot(grid[0, 1])
    ax_out = fig.add_subplot(grid[1, 0], sharex=ax_wl)

    t = [p["t"] for p in trace["positions"]]
    wl = [scale(p["position"]) for p in trace["positions"]]
    pulse_t = [p["t"] for p in trace["pulses"]]
    pulse_wl = [scale(p["position"]) for p in trace["pulses"]]

    ax_wl.plot(t, wl, color="tab:blue", label="wavelength")
    if pulse_t:
        ax_wl.plot(pulse_t, pulse_wl, "o", color="tab:red", markersize=4,
                   label="trigger pulses (%d)" % len(pulse_t))
    top = max(wl) + 1.0
    for number, move in enumerate(moves, 1):
        ax_wl.axvspan(move["start"], move["end"], color="0.92" if number % 2 else "0.85", zorder=0)
        ax_wl.text((move["start"] + move["end"]) / 2, top, str(number), ha="center", va="bottom", fontsize=10,
                   fontweight="bold")
    ax_wl.set_ylim(min(wl) - 1.0, top + 1.5)
    ax_wl.set_ylabel("wavelength (nm)")
    ax_wl.set_title("wavelength over the demo, moves numbered")
    ax_wl.grid(True, axis="y", alpha=0.4)
    ax_wl.legend(loc="lower right")
    ax_key = fig.add_subplot(grid[1, 1])
    ax_key.set_axis_off()
    key = "\n".join("%d  %s" % (number, move["label"]) for number, move in enumerate(moves, 1))
    ax_key.text(0.0, 1.0, "moves\n" + key, transform=ax_key.transAxes, fontsize=9.5, va="top",
                family="monospace", linespacing=1.4)

    # The move with position-compare pulses, close up: each pulse at its wavelength.
    pulse_move = next((mv for mv in moves if mv["pulses"]), None)
    if pulse_move:
        inside = [(ti, w) for ti, w in zip(t, wl) if pulse_move["start"] <= ti <= pulse_move["end"]]
        ax_zoom.plot([ti for ti, _ in inside], [w for _, w in inside], color="tab:blue")
        marks = [(ti, w) for ti, w in zip(pulse_t, pulse_wl) if pulse_move["start"] <= ti <= pulse_move["end"]]
        ax_zoom.plot([ti for ti, _ in marks], [w for _, w in marks], "o", color="tab:red", markersize=5)
        for ti, w in marks:
            ax_zoom.annotate("%.2f nm" % w, (ti, w), textcoords="offset points", xytext=(8, -3), fontsize=8)
        ax_zoom.set_yticks([round(w * 2) / 2 for _, w in marks])
        ax_zoom.grid(True, alpha=0.4)
        ax_zoom.set_title("move %d: %s" % (moves.index(pulse_move) + 1, pulse_move["label"]))
        ax_zoom.set_xlabel("simulated time (s)")
        ax_zoom.set_ylabel("wavelength (nm)")
    else:
        ax_zoom.set_axis_off()

    xs, ys = output_steps(trace, initial_level)
    ax_out.plot(xs, ys, color="tab:green")
    ax_out.set_ylabel("digital output 3")
    ax_out.set_yticks([0, 1])
    ax_out.set_yticklabels(["low", "high"])
    ax_out.set_ylim(-0.2, 1.2)
    ax_out.set_xlabel("simulated time (s)")
    fig.suptitle("vostelmotor demo on the simulated EPOS2 controller")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("plot of the wavelength and the trigger output written to", path)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(), "vostelmotor-demo"))
