"""Takes the README's screenshot of the limit-switch calibration window:
run under a virtual display, e.g.

    xvfb-run -a -s "-screen 0 1024x768x24" .venv-demo/bin/python docs/screenshot_calibration_window.py docs/calibration_window.png

It needs ImageMagick's `import` and xdotool. The window is the module's own,
opened on a motor connected to the simulated controller; after the shot the
script types a wavelength and presses "Calibrate", which closes it.
"""
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("VOSTEL_BUILD_DIR", os.path.join(HERE, "..", "build-demo", "python")))
sys.path.insert(0, os.path.join(HERE, "..", "simulator"))

import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402


def operate(out):
    for _ in range(100):
        found = subprocess.run(["xdotool", "search", "--name", "^Calibration$"], capture_output=True, text=True)
        if found.stdout.strip():
            break
        time.sleep(0.1)
    window = found.stdout.split()[0]
    time.sleep(0.5)
    subprocess.run(["import", "-window", window, out], check=True)
    subprocess.run(["xdotool", "mousemove", "--window", window, "150", "105", "click", "1",
                    "type", "781.5"], check=True)
    subprocess.run(["xdotool", "key", "--window", window, "Tab", "space"], check=True)


def main(out):
    sim = SimulatedController(os.path.join(os.path.dirname(vostelmotor.__file__), "EposCMD64.dll"))
    sim.use_virtual_clock()
    sim.reset(state_file=os.path.join(os.path.dirname(os.path.abspath(out)), ".screenshot_state.txt"))
    m = vostelmotor.motor()
    m.connect()
    threading.Thread(target=operate, args=(out,), daemon=True).start()
    m._motor__limitSwitchCalibrationWindow()
    print("screenshot written to", out)
    sim.reset(forget_stored=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "calibration_window.png"))
