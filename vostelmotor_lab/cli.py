"""The `vostelmotor` command: `vostelmotor panel|check|ioc|tango [options]`.

It only dispatches: each subcommand is a module with a `main(argv)` that
builds its own parser, imported when that subcommand runs, so `--help` needs
neither the instrument nor the optional packages of the other subcommands.
"""
import argparse
import importlib
import sys

SUBCOMMANDS = {
    "panel": ("vostelmotor_lab.panel", "a window to move the laser by hand (Tk)"),
    "check": ("vostelmotor_lab.check", "the guided first-contact check of a new instrument"),
    "ioc": ("vostelmotor_ioc.cli", "serve the motor to EPICS over Channel Access and PVAccess (needs caproto, p4p)"),
    "tango": ("vostelmotor_lab.tango_server", "serve the motor as a Tango device (needs pytango)"),
}


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vostelmotor", usage="vostelmotor [-h] {%s} [options]" % ",".join(SUBCOMMANDS),
        description="The laser's grating motor on the bench. Every subcommand takes --usb PORT\n"
                    "(default USB0) and --simulated (the simulated controller that comes with the\n"
                    "package); 'vostelmotor SUBCOMMAND --help' says more.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="subcommands:\n" + "\n".join("  %-8s %s" % (name, text) for name, (_, text) in SUBCOMMANDS.items()))
    parser.add_argument("subcommand", choices=list(SUBCOMMANDS), help="what to run; its options follow it")
    return parser


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(argv[:1])  # --help, or an unknown subcommand, ends here
    module = importlib.import_module(SUBCOMMANDS[args.subcommand][0])
    return module.main(argv[1:])
