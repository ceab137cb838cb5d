"""The examples on the simulated controller: the wavelength scan puts its
trigger pulses where the scan asks for them and writes them to CSV, and the
demo runs to its plot without a display."""
import csv
import os
import subprocess
import sys

import pytest

from helpers.paths import BUILD, ROOT

sys.path.insert(0, os.path.join(ROOT, "examples"))
import wavelength_scan  # noqa: E402


@pytest.mark.parametrize("start, stop, step, count", [
    (778.0, 782.0, 0.5, 8),    # upward, the demo's scan
    (782.0, 778.0, 0.5, 8),    # downward
    (770.0, 772.0, 0.25, 8),
    # The controller counts the interval in steps, fixed at the middle of the
    # range; out here 1 nm of interval is about 1.001 nm, so a fifth pulse
    # would lie past 795 nm.
    (790.0, 795.0, 1.0, 4),
])
def test_scan_gives_a_pulse_every_step(virtual_sleep, sim_motor, start, stop, step, count):
    assert sim_motor.connect()
    rows = wavelength_scan.scan(sim_motor, virtual_sleep, start, stop, step)
    direction = 1 if stop > start else -1
    expected = [start + direction * step * n for n in range(1, count + 1)]
    assert [r["pulse"] for r in rows] == list(range(1, count + 1))
    assert [r["wavelength_nm"] for r in rows] == pytest.approx(expected, abs=0.01)
    assert [r["nominal_nm"] for r in rows] == pytest.approx(expected, abs=0.002)
    spacing = {b["position_counts"] - a["position_counts"] for a, b in zip(rows, rows[1:])}
    assert len(spacing) == 1
    times = [r["time_s"] for r in rows]
    assert times == sorted(times) and times[0] > 0


def test_scan_command_writes_the_csv(tmp_path, sim):
    path = tmp_path / "pulses.csv"
    env = dict(os.environ, VOSTEL_BUILD_DIR=BUILD)
    env.pop("DISPLAY", None)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "wavelength_scan.py"),
                             "--start", "781", "--stop", "779", "--step", "0.5", "--csv", str(path)],
                            cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == wavelength_scan.COLUMNS
    assert [float(r["wavelength_nm"]) for r in rows] == pytest.approx([780.5, 780.0, 779.5, 779.0], abs=0.01)
    assert "4 pulses from 781.00 nm to 779.00 nm written to" in result.stdout


def test_demo_runs_without_a_display(tmp_path, sim):
    env = dict(os.environ, VOSTEL_BUILD_DIR=BUILD)
    env.pop("DISPLAY", None)
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "demo.py"), str(tmp_path)],
                            cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "778.500, 779.000, 779.500, 780.000, 780.500, 781.000, 781.500, 782.000 nm" in out
    assert "folder dialog 'Select location to save support data' answered" in out
    assert "failed with Code" not in out
    with open(tmp_path / "SupportData_VostelMotorControl.txt") as f:
        assert "Keyhandle: " in f.read()
    if "matplotlib is not installed" not in out:
        assert (tmp_path / "demo_trace.png").stat().st_size > 10000
