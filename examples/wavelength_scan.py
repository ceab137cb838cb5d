"""A wavelength scan with the position-compare trigger: the motor goes to the
start wavelength, then runs to the end wavelength in one move while the
controller gives a pulse on digital output 3 every STEP nm of travel (to
trigger a detector, say). The script writes a CSV file with one line per
pulse: its number, when it came, the controller position and the wavelength.

    python3 examples/wavelength_scan.py [--start 778] [--stop 782] [--step 0.5] [--csv scan_pulses.csv]

Run it from the repository root after `bash scripts/demo.sh`. On the
instrument the pulses go to whatever is wired to output 3; here the simulated
controller records where it gave each one, and the CSV holds their
wavelengths next to the nominal ones (start + n x step). The controller
counts the interval in motor steps, converted at the middle of the calibrated
range, so far from the middle the pulses drift a little from the nominal grid.
"""
import argparse
import csv
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simulated_lab  # noqa: E402

COLUMNS = ["pulse", "time_s", "position_counts", "wavelength_nm", "nominal_nm"]


def scan(m, sim, start, stop, step):
    """Scans a connected motor from `start` to `stop` nm with a pulse every
    `step` nm; returns one row (a dict with COLUMNS) per pulse the simulated
    controller `sim` gave during the scan move."""
    m.moveToWavelength(start, highPrecision=1)
    scale = simulated_lab.WavelengthScale(m, sim.position())
    reached = m.getWavelength()
    m.triggerParameter(step)
    begin, seen = sim.time(), len(sim.trace()["pulses"])
    m.moveToWavelength(stop, trigger=1)
    pulses = [p for p in sim.trace()["pulses"][seen:] if p["t"] >= begin]
    direction = 1 if stop >= reached else -1
    return [{"pulse": n,
             "time_s": round(p["t"] - begin, 6),
             "position_counts": p["position"],
             "wavelength_nm": round(scale(p["position"]), 6),
             "nominal_nm": round(reached + direction * n * step, 6)}
            for n, p in enumerate(pulses, 1)]


def write_csv(rows, path):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=COLUMNS)
        writer.writeheader()
        writer.writerows(rows)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--start", type=float, default=778.0, help="start wavelength, nm")
    parser.add_argument("--stop", type=float, default=782.0, help="end wavelength, nm")
    parser.add_argument("--step", type=float, default=0.5, help="a pulse every STEP nm")
    parser.add_argument("--csv", default="scan_pulses.csv", help="file for the pulse wavelengths")
    args = parser.parse_args(argv)

    vostelmotor, SimulatedController = simulated_lab.import_module()
    state = os.path.join(tempfile.mkdtemp(prefix="vostelmotor-scan-"), "simulated_controller_state.txt")
    sim = simulated_lab.simulated_controller(vostelmotor, SimulatedController, state)
    m = vostelmotor.motor()
    if not m.connect():
        sys.exit("no controller answered")
    m.setVelocityParameter(1.0, 4.0, 4.0)
    rows = scan(m, sim, args.start, args.stop, args.step)
    m.disconnect()
    write_csv(rows, args.csv)
    print("%d pulses from %.2f nm to %.2f nm written to %s" % (len(rows), args.start, args.stop, args.csv))
    for row in rows:
        print("   pulse %(pulse)3d  %(wavelength_nm)10.4f nm" % row)


if __name__ == "__main__":
    main()
