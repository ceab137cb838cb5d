"""ophyd's EpicsMotor at its defaults (settle_time 0) hangs in a bluesky scan
against any motor record, here a bare caproto stand-in without vostelmotor:
DMOV goes to 0 at each put to VAL and back to 1 0.2 s later.

ophyd finishes a move's status from its DMOV callback (`_done_moving`: run
the request-done subscriptions, then clear them). The RunEngine, woken by
that status, starts the next move on its own thread; when it subscribes the
next status before the callback thread has cleared the list, the clearing
drops it and the scan waits forever (the "InvalidState" logged first is the
next move finishing the old status once more). A settle_time > 0 finishes the
status from a timer, after the clearing: EpicsMotor(..., settle_time=0.1).

    python scripts/ophyd_done_race.py [RUNS]           caproto's client
    python scripts/ophyd_done_race.py --settle 0.1     with the workaround
    python scripts/ophyd_done_race.py --client pyepics pyepics' client (libca binds every
                                                       interface: run it in a network
                                                       namespace of its own, unshare -rn)
(SETTLE and CL in the environment give the defaults of --settle and --client.)
Everything stays on 127.0.0.1; it prints how many 20-point scans and how many
moves finished, and whether the last scan hung.
"""
import argparse
import asyncio
import os
import random
import sys
import threading
import time

SECONDS = 120  # a scan not finished by then counts as hung


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="ophyd_done_race.py", formatter_class=argparse.RawDescriptionHelpFormatter,
        description=__doc__.split("\n\n")[0], epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    parser.add_argument("runs", nargs="?", type=int, default=10, help="20-point scans to run (default 10)")
    parser.add_argument("--settle", type=float, default=float(os.environ.get("SETTLE", "0")),
                        help="EpicsMotor settle_time in s (default 0, ophyd's own; 0.1 avoids the hang)")
    parser.add_argument("--client", choices=("caproto", "pyepics"), default=os.environ.get("CL", "caproto"),
                        help="ophyd's Channel Access client (default caproto)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    port = random.randint(30000, 60000)
    os.environ.update(EPICS_CA_AUTO_ADDR_LIST="NO", EPICS_CA_ADDR_LIST="127.0.0.1",
                      EPICS_CAS_INTF_ADDR_LIST="127.0.0.1", EPICS_CAS_AUTO_BEACON_ADDR_LIST="NO",
                      EPICS_CAS_BEACON_ADDR_LIST="127.0.0.1", EPICS_CA_SERVER_PORT=str(port),
                      EPICS_CA_REPEATER_PORT=str(port + 1), EPICS_CAS_BEACON_PORT=str(port + 1))
    stand = serve()
    import ophyd
    ophyd.set_cl(args.client)
    from bluesky import RunEngine
    from bluesky.plans import scan
    m = ophyd.EpicsMotor("RACE:M", name="m", settle_time=args.settle)
    m.wait_for_connection(timeout=10)
    RE = RunEngine({}, context_managers=[])
    done = []

    def go():
        for run in range(args.runs):
            RE(scan([], m, 0, 1, 20))
            done.append(run)

    t = threading.Thread(target=go, daemon=True)
    t.start()
    t.join(SECONDS)
    print("settle_time %g: %d of %d scans of 20 points finished, %d moves in all; hung: %s"
          % (args.settle, len(done), args.runs, stand.moves, t.is_alive()))
    os._exit(0)


def serve():
    """The stand-in motor record on 127.0.0.1, served from a thread of its own."""
    import logging
    import socket

    import caproto
    logging.getLogger("caproto").setLevel(logging.CRITICAL)

    class LoopbackSocket(socket.socket):
        """caproto's client binds its UDP socket to every interface: not here."""

        def bind(self, address):
            super().bind(("127.0.0.1" if address[0] in ("", "0.0.0.0") else address[0], address[1]))

    class LoopbackSockets:
        socket = LoopbackSocket

        def __getattr__(self, name):
            return getattr(socket, name)

    caproto.get_local_address = lambda: "127.0.0.1"
    bcast_socket = caproto.bcast_socket
    caproto.bcast_socket = lambda socket_module=None: bcast_socket(LoopbackSockets())
    from caproto.server import PVGroup, pvproperty
    from caproto.asyncio.server import start_server

    class Stand(PVGroup):
        motor = pvproperty(name="M", value=0.0, record="motor", precision=3)
        moves = 0

        @motor.startup
        async def motor(self, instance, async_lib):
            f = self.motor.field_inst
            await f.done_moving_to_value.write(1, verify_value=False)
            await f.user_readback_value.write(0.0, verify_value=False)

        @motor.putter
        async def motor(self, instance, value):
            f = self.motor.field_inst
            await f.done_moving_to_value.write(0, verify_value=False)
            await f.motor_is_moving.write(1, verify_value=False)

            async def finish():
                await asyncio.sleep(0.2)
                await f.user_readback_value.write(value, verify_value=False)
                await f.motor_is_moving.write(0, verify_value=False)
                await f.done_moving_to_value.write(1, verify_value=False)
                self.moves += 1
            asyncio.get_running_loop().create_task(finish())
            return value

    stand = Stand(prefix="RACE:")
    loop = asyncio.new_event_loop()
    threading.Thread(target=lambda: loop.run_until_complete(start_server(stand.pvdb, interfaces=["127.0.0.1"])),
                     daemon=True).start()
    time.sleep(1)
    return stand


if __name__ == "__main__":
    main()
