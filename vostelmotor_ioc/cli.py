"""vostelmotor ioc --prefix LASER:GRATING: [--usb USB0 | --simulated] [--allow-write HOST[,HOST]]

Also ``python -m vostelmotor_ioc``. The parser needs nothing beyond the
standard library, so ``--help`` works without caproto and without hardware;
caproto is imported when the IOC runs.
"""
import argparse
import logging
import os
import signal
import sys

DESCRIPTION = ("Serves the laser's grating motor as an EPICS motor record in nm (PREFIX + MOTOR) "
               "with HIGH_PRECISION, TRIGGER, TRIGGER_WIDTH, CURRENT, CALIBRATE, STATE and MESSAGE beside it. "
               "A put with completion to the record completes when the move it started has ended.")


def build_parser(prog="python -m vostelmotor_ioc"):
    parser = argparse.ArgumentParser(prog=prog, description=DESCRIPTION)
    parser.add_argument("--prefix", default="LASER:GRATING:", help="prefix of every PV (default LASER:GRATING:)")
    parser.add_argument("--usb", default="USB0", help="port of the controller (default USB0)")
    parser.add_argument("--simulated", action="store_true",
                        help="drive the simulated controller shipped with vostelmotor instead of the vendor's "
                             "library (its memory in a state file of the user's, or VOSTEL_SIM_STATE)")
    parser.add_argument("--allow-write", metavar="HOST[,HOST]", default=None,
                        help="hosts (or USER@HOST, USER@*, *) whose clients may move the motor and change "
                             "its settings; every client may read and stop it. Default: this host")
    parser.add_argument("--description", default="Grating motor", help="the record's DESC")
    interfaces = os.environ.get("EPICS_CAS_INTF_ADDR_LIST", "").split() or ["0.0.0.0"]
    parser.add_argument("--interfaces", nargs="+", default=interfaces,
                        help="addresses to serve on (default: EPICS_CAS_INTF_ADDR_LIST, else every interface)")
    parser.add_argument("--list-pvs", action="store_true", help="log the PV names served at startup")
    verbosity = parser.add_mutually_exclusive_group()
    verbosity.add_argument("-q", "--quiet", action="store_true", help="warnings only")
    verbosity.add_argument("-v", "--verbose", action="count", help="caproto's own log too (-vv: debug)")
    return parser


def _interrupt(signum, frame):
    raise KeyboardInterrupt()


def main(argv=None, prog="python -m vostelmotor_ioc"):
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    # caproto holds monitors this long to batch them; a put's completion waits
    # for the monitors of its move, so a short batch keeps completions prompt.
    os.environ.setdefault("CAPROTO_SERVER_HIGH_LOAD_TIMEOUT_SEC", "0.002")
    from .access import WriteList
    try:
        write_list = WriteList.parse(args.allow_write)
    except ValueError as exc:
        parser.error("--allow-write: %s" % exc)
    try:
        import caproto
        from caproto.server import run, template_arg_parser
    except ImportError:  # pragma: no cover - depends on the installation
        sys.exit("The IOC needs caproto: pip install vostelmotor[epics]")
    from . import repeater
    from .server import GratingMotorIOC

    args.async_lib = "asyncio"
    _, split_args = template_arg_parser(default_prefix=args.prefix, desc=DESCRIPTION,
                                        supported_async_libs=["asyncio"])
    ioc_options, run_options = split_args(args)
    run_options.pop("module_name", None)
    motor_class = None
    if args.simulated:
        from vostelmotor_lab.drive import ServedMotor
        from vostelmotor_lab.simulated import simulated
        motor_class = simulated(ServedMotor)
    ioc = GratingMotorIOC(usb=args.usb, write_list=write_list, description=args.description,
                          motor_class=motor_class, **ioc_options)
    # What the IOC does (the MESSAGE PV's texts, refused writes) goes to the console, one line each.
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
    ioc.log.addHandler(handler)
    ioc.log.setLevel(logging.WARNING if args.quiet else logging.INFO)
    ioc.log.propagate = False
    repeater.ensure(caproto.get_environment_variables()["EPICS_CAS_BEACON_PORT"], ioc.log)
    ioc.log.info("Serving %sMOTOR on %s; writes allowed from %s", ioc.prefix, " ".join(args.interfaces), write_list)
    signal.signal(signal.SIGTERM, _interrupt)
    if hasattr(signal, "SIGBREAK"):
        # Windows has no SIGTERM from outside: a service manager or script stops
        # a console program with CTRL_BREAK_EVENT (Ctrl+Break at the keyboard),
        # which would otherwise end the process at once, without disconnecting.
        signal.signal(signal.SIGBREAK, _interrupt)
    run(ioc.pvdb, **run_options)
    return 0
