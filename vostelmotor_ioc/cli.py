"""vostelmotor ioc --prefix LASER:GRATING: [--usb USB0 | --simulated] [--allow-write HOST[,HOST]] [--ca] [--pva]

Also ``python -m vostelmotor_ioc``. The parser needs nothing beyond the
standard library, so ``--help`` works without caproto, p4p and hardware;
they are imported when the IOC runs. Channel Access and PVAccess are served
from one process and one drive; without --ca or --pva both are.
"""
import argparse
import asyncio
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
    parser.add_argument("--ca", action="store_true", help="serve Channel Access (default: both protocols)")
    parser.add_argument("--pva", action="store_true",
                        help="serve PVAccess, on 127.0.0.1 only (default: both protocols; needs p4p)")
    parser.add_argument("--pva-port", type=int, default=None, metavar="PORT",
                        help="TCP port of the PVAccess server, its search port PORT+1 "
                             "(default: free ports, printed at startup)")
    verbosity = parser.add_mutually_exclusive_group()
    verbosity.add_argument("-q", "--quiet", action="store_true", help="warnings only")
    verbosity.add_argument("-v", "--verbose", action="count", help="caproto's own log too (-vv: debug)")
    return parser


def _interrupt(signum, frame):
    raise KeyboardInterrupt()


def _stop_signals():
    names = ("SIGINT", "SIGTERM", "SIGBREAK")  # SIGBREAK: Windows only
    return [getattr(signal, name) for name in names if hasattr(signal, name)]


def _end_on_signals(task, loop):
    """Once the loop serves: a stop signal cancels the serving task, whose
    cleanup disconnects; a second one interrupts at once.

    An exception raised by the handler itself would land in whichever task
    runs at that moment (a PV's write, a startup hook), end that task with
    it, and leave "Task exception was never retrieved" and a traceback on the
    console after a clean stop.
    """
    asked = False

    def stop(signum, frame):
        nonlocal asked
        if task.done() or asked:
            raise KeyboardInterrupt()
        asked = True
        task.cancel()
        loop.call_soon_threadsafe(lambda: None)  # wake the loop to run the cancel

    for number in _stop_signals():
        signal.signal(number, stop)
    loop.set_exception_handler(_aborted_accepts_quiet)


def _aborted_accepts_quiet(loop, context):
    # Windows: the servers close their listening sockets when they stop, which
    # aborts each socket's pending accept (ERROR_OPERATION_ABORTED, 995), and
    # asyncio's proactor leaves that as a task exception nobody retrieves.
    if getattr(context.get("exception"), "winerror", None) == 995:
        return
    loop.default_exception_handler(context)


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
    serve_ca = args.ca or not args.pva
    serve_pva = args.pva or not args.ca
    try:
        import caproto
        from caproto.server import template_arg_parser
    except ImportError:  # pragma: no cover - depends on the installation
        sys.exit("The IOC needs caproto: pip install vostelmotor[epics]")
    if serve_pva:
        try:
            import p4p  # noqa: F401
        except ImportError:
            if args.pva:
                sys.exit("PVAccess needs p4p: pip install vostelmotor[pva]")
            serve_pva = False
            print("PVAccess not served: p4p is not installed (pip install vostelmotor[pva])", flush=True)
    from . import repeater
    from .server import GratingMotorIOC
    from vostelmotor_lab.shared import SharedDrive

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
    shared = SharedDrive(args.usb, motor_class, calibration_hint=args.prefix + "CALIBRATE")
    ioc = GratingMotorIOC(usb=args.usb, write_list=write_list, description=args.description,
                          motor_class=motor_class, shared=shared, **ioc_options)
    # What the IOC does (the MESSAGE PV's texts, refused writes) goes to the console, one line each.
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
    ioc.log.addHandler(handler)
    ioc.log.setLevel(logging.WARNING if args.quiet else logging.INFO)
    ioc.log.propagate = False
    if serve_ca:
        repeater.ensure(caproto.get_environment_variables()["EPICS_CAS_BEACON_PORT"], ioc.log)
        ioc.log.info("Serving %sMOTOR on Channel Access on %s; writes allowed from %s", ioc.prefix,
                     " ".join(args.interfaces), write_list)
    signal.signal(signal.SIGTERM, _interrupt)
    if hasattr(signal, "SIGBREAK"):
        # Windows has no SIGTERM from outside: a service manager or script stops
        # a console program with CTRL_BREAK_EVENT (Ctrl+Break at the keyboard),
        # which would otherwise end the process at once, without disconnecting.
        signal.signal(signal.SIGBREAK, _interrupt)
    try:
        asyncio.run(_serve(shared, ioc if serve_ca else None, run_options, serve_pva, args))
    except (KeyboardInterrupt, asyncio.CancelledError):
        pass
    return 0


async def _serve(shared, ioc, run_options, serve_pva, args):
    """Channel Access (ioc, or None) and PVAccess in this loop, on one drive."""
    log = logging.getLogger("vostelmotor.pva")
    _end_on_signals(asyncio.current_task(), asyncio.get_running_loop())
    face = None
    try:
        if serve_pva:
            from .pva import PvaMotor
            handler = logging.StreamHandler(sys.stdout)
            handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
            log.addHandler(handler)
            log.setLevel(logging.WARNING if args.quiet else logging.INFO)
            log.propagate = False
            face = PvaMotor(shared, args.prefix, args.description).start(args.pva_port)
            env = face.client_environment()
            log.warning("Serving %sMOTOR on PVAccess on 127.0.0.1:%s (clients: EPICS_PVA_NAME_SERVERS=%s)",
                        args.prefix, env["EPICS_PVA_SERVER_PORT"], env["EPICS_PVA_NAME_SERVERS"])
            if args.list_pvs:
                log.info("PVAccess names: %s", " ".join(sorted(face.names)))
        shared.start()
        if ioc is not None:
            await ioc.serve(**run_options)
        else:
            await asyncio.Event().wait()
    finally:
        if face is not None:
            face.stop()
        shared.close()
