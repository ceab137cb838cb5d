"""The `vostelmotor` command only dispatches: each subcommand's module gets
the arguments after its name; help and mistakes end before any is imported."""
import os
import subprocess
import sys
import types

import pytest

from helpers import paths
from vostelmotor_lab import cli


@pytest.mark.parametrize("argv, module", [
    (["panel", "--usb", "USB1", "--simulated"], "vostelmotor_lab.panel"),
    (["check", "--simulated"], "vostelmotor_lab.check"),
    (["ioc", "--prefix", "SIM:", "--simulated"], "vostelmotor_ioc.cli"),
])
def test_each_subcommand_gets_its_arguments(monkeypatch, argv, module):
    received = []
    monkeypatch.setitem(sys.modules, module, types.SimpleNamespace(main=lambda args: received.append(args) or 7))
    assert cli.main(argv) == 7
    assert received == [argv[1:]]


@pytest.mark.parametrize("argv, status, text", [
    (["--help"], 0, "panel    a window to move the laser by hand"),
    ([], 2, "the following arguments are required: subcommand"),
    (["pannel"], 2, "invalid choice: 'pannel'"),
])
def test_help_and_mistakes_import_no_subcommand(monkeypatch, capsys, argv, status, text):
    monkeypatch.setattr(cli.importlib, "import_module", lambda name: pytest.fail("imported " + name))
    with pytest.raises(SystemExit) as ended:
        cli.main(argv)
    assert ended.value.code == status
    assert text in capsys.readouterr()[status and 1]


def test_python_dash_m_runs_the_command():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([paths.BUILD, paths.ROOT]))
    done = subprocess.run([sys.executable, "-m", "vostelmotor_lab", "panel", "--help"], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("usage: vostelmotor panel [-h] [--usb PORT] [--simulated]")
