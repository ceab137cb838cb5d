"""vostelmotor tango [--usb USB0 | --simulated] [--nodb --port PORT] [--device laser/grating/1] [INSTANCE]

Serves the grating motor as a Tango device (vostelmotor_lab.tango_device).
With a Tango database (TANGO_HOST), the device must be registered there first
under the server name ``vostelmotor/INSTANCE`` and the class ``GratingMotor``;
with --nodb it is served without one, on 127.0.0.1:PORT only, and its full
address is printed. The parser needs only the standard library, so --help
works without pytango and without hardware.
"""
import argparse
import sys

DESCRIPTION = ("Serves the laser's grating motor as a Tango device in the style of a Sardana motor: "
               "Position in nm (a write starts the move and returns at once), Velocity, Acceleration, "
               "Stop, Abort, DefinePosition, State ON/MOVING/ALARM/FAULT with Status.")
SERVER = "vostelmotor"
CLASS = "GratingMotor"


def build_parser(prog="vostelmotor tango"):
    parser = argparse.ArgumentParser(prog=prog, description=DESCRIPTION)
    parser.add_argument("instance", nargs="?", default="grating",
                        help="instance name of the device server (default grating)")
    parser.add_argument("--usb", default="USB0", help="port of the controller (default USB0)")
    parser.add_argument("--simulated", action="store_true",
                        help="drive the simulated controller shipped with vostelmotor instead of the vendor's "
                             "library (its memory in a state file of the user's, or VOSTEL_SIM_STATE)")
    parser.add_argument("--nodb", action="store_true",
                        help="serve without a Tango database, on 127.0.0.1 only (needs --port)")
    parser.add_argument("--port", type=int, default=None, help="TCP port of the device server (with --nodb)")
    parser.add_argument("--device", default="laser/grating/1",
                        help="device name with --nodb (default laser/grating/1); with a database, the name "
                             "registered there counts")
    return parser


def address(port, device):
    """The device's full name for a client without a database."""
    return "tango://127.0.0.1:%d/%s#dbase=no" % (port, device)


def main(argv=None, prog="vostelmotor tango"):
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.nodb and args.port is None:
        parser.error("--nodb needs --port PORT")
    if sys.version_info < (3, 10):
        sys.exit("The Tango device needs Python 3.10 or newer (pytango)")
    try:
        import tango  # noqa: F401
    except ImportError:
        sys.exit("The Tango device needs pytango: pip install vostelmotor[tango]")
    from .drive import ServedMotor
    from .shared import SharedDrive
    from .tango_device import GratingMotor

    motor_class = None
    if args.simulated:
        from .simulated import simulated
        motor_class = simulated(ServedMotor)
    shared = SharedDrive(args.usb, motor_class, calibration_hint="the DefinePosition command")
    GratingMotor.serve(shared)
    tango_args = [SERVER, args.instance]
    if args.nodb:
        tango_args += ["-nodb", "-dlist", args.device, "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % args.port]
        print("Serving %s" % address(args.port, args.device), flush=True)
    try:
        from tango.server import run
        run({CLASS: GratingMotor}, args=tango_args, raises=False)
    finally:
        shared.close()
    return 0
