"""python -m vostelmotor_ioc --prefix LASER:GRATING: [--usb USB0] [--allow-write HOST[,HOST]]"""
import logging
import signal
import sys

try:
    from caproto.server import run, template_arg_parser
except ImportError:  # pragma: no cover - depends on the installation
    sys.exit("vostelmotor_ioc needs caproto: pip install vostelmotor[epics]")

from .access import WriteList
from .server import GratingMotorIOC


def _interrupt(signum, frame):
    raise KeyboardInterrupt()


def main(argv=None):
    parser, split_args = template_arg_parser(
        desc="Serves the laser's grating motor as an EPICS motor record in nm (PREFIX + MOTOR) "
             "with HIGH_PRECISION, TRIGGER, TRIGGER_WIDTH, CURRENT, CALIBRATE, STATE and MESSAGE beside it.",
        default_prefix="LASER:GRATING:", supported_async_libs=["asyncio"])
    parser.prog = "python -m vostelmotor_ioc"
    parser.add_argument("--usb", default="USB0", help="port of the controller (default USB0)")
    parser.add_argument("--allow-write", metavar="HOST[,HOST]", default=None,
                        help="hosts (or USER@HOST, USER@*, *) whose clients may move the motor and change "
                             "its settings; every client may read and stop it. Default: this host")
    parser.add_argument("--description", default="Grating motor", help="the record's DESC")
    args = parser.parse_args(argv)
    try:
        write_list = WriteList.parse(args.allow_write)
    except ValueError as exc:
        parser.error("--allow-write: %s" % exc)
    ioc_options, run_options = split_args(args)
    ioc = GratingMotorIOC(usb=args.usb, write_list=write_list, description=args.description, **ioc_options)
    # What the IOC does (the MESSAGE PV's texts) goes to the console too.
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
    ioc.log.addHandler(handler)
    ioc.log.setLevel(logging.WARNING if args.quiet else logging.INFO)
    ioc.log.info("Serving %sMOTOR; writes allowed from %s", ioc.prefix, write_list)
    signal.signal(signal.SIGTERM, _interrupt)
    run(ioc.pvdb, **run_options)
    return 0
