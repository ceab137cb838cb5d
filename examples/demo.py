"""A first script on the simulated controller: what a lab script does with the
instrument, printed step by step, ending with a plot of what the controller
did (position, trigger output and trigger pulses over time).

    python examples/demo.py [output folder]

The simulated controller (our EposCMD64.dll, built beside the module) runs on
a virtual clock here: the module's waits advance it, so the demo takes
seconds, not minutes.
"""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("VOSTEL_BUILD_DIR", os.path.join(HERE, "..", "build", "python"))
sys.path.insert(0, BUILD)
sys.path.insert(0, os.path.join(HERE, "..", "simulator"))

import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    sim_path = os.path.join(os.path.dirname(vostelmotor.__file__), "EposCMD64.dll")
    if not os.path.exists(sim_path):
        sys.exit("The simulated controller is not beside the module: build the tree with scripts/demo.sh")
    sim = SimulatedController(sim_path)
    sim.use_virtual_clock()
    sim.reset(state_file=os.path.join(out_dir, "simulated_controller_state.txt"))
    sim.clear_trace()
    initial_level = sim.output_level(3)
    # Waiting inside the module moves the simulated time on.
    vostelmotor.sleep = sim.advance

    print("== creating the motor object and connecting")
    m = vostelmotor.motor()
    print("command library:", m.eposdll._name)
    print("connected:", m.connect())
    lo, hi = m.getWavelengthMinMax()
    print("calibrated range: %.2f nm to %.2f nm" % (lo, hi))

    print("\n== speed profile")
    m.setVelocityParameter(2.0, 4.0, 4.0)

    print("\n== moves")
    start = sim.time()
    reached = m.moveToWavelength(775.0)
    print("plain move returned %.4f nm after %.1f s" % (reached, sim.time() - start))
    start = sim.time()
    reached = m.moveToWavelength(772.5, highPrecision=1)
    print("high-precision move (approached from below) returned %.4f nm after %.1f s" % (reached, sim.time() - start))

    levels_before = len(sim.trace()["outputs"])
    reached = m.moveToWavelength(778.0, trigger=2)
    output_changes = len(sim.trace()["outputs"]) - levels_before
    print("move with the motion trigger: output 3 changed level %d times" % output_changes)

    m.triggerParameter(0.5)
    pulses_before = sim.pulse_count()
    m.moveToWavelength(782.0, trigger=1)
    print("move of 4 nm with a pulse every 0.5 nm: the controller emitted %d pulses"
          % (sim.pulse_count() - pulses_before))

    m.moveSteps(2500)
    m.moveSteps(-2500)
    print("wavelength now: %.4f nm, motor current at rest %d mA" % (m.getWavelength(), m.getCurrent()))

    print("\n== support data")

    class FolderChoice:
        """Answers the folder dialog for this demo; a user picks the folder."""

        @staticmethod
        def askdirectory(**options):
            print("(folder dialog '%s' answered with %s)" % (options.get("title"), out_dir))
            return out_dir

    real_dialogs = vostelmotor.filedialog
    vostelmotor.filedialog = FolderChoice
    try:
        m.generateSupportData()
    finally:
        vostelmotor.filedialog = real_dialogs
    m.moveToWavelength(785.0)
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
    plot(sim.trace(), initial_level, os.path.join(out_dir, "demo_trace.png"))


def plot(trace, initial_level, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed; no plot")
        return
    fig, (ax_pos, ax_out) = plt.subplots(2, 1, sharex=True, figsize=(10, 6))
    t = [p["t"] for p in trace["positions"]]
    ax_pos.plot(t, [p["position"] for p in trace["positions"]], label="position (counts)")
    pulses = trace["pulses"]
    if pulses:
        ax_pos.plot([p["t"] for p in pulses], [p["position"] for p in pulses], "r|", markersize=12,
                    label="trigger pulses (%d)" % len(pulses))
    ax_pos.set_ylabel("controller position")
    ax_pos.legend(loc="best")
    levels = [o for o in trace["outputs"] if o["output"] == 3]
    xs, ys = [0.0], [initial_level]
    for o in levels:
        xs += [o["t"], o["t"]]
        ys += [ys[-1], o["level"]]
    xs.append(trace["time"])
    ys.append(ys[-1])
    ax_out.plot(xs, ys)
    ax_out.set_ylabel("digital output 3")
    ax_out.set_xlabel("simulated time (s)")
    ax_out.set_ylim(-0.2, 1.2)
    fig.suptitle("vostelmotor demo on the simulated EPOS2 controller")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("plot of the controller's trace written to", path)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(), "vostelmotor-demo"))
