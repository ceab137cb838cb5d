"""The CA repeater on the loopback, for the IOC's beacons.

A Channel Access server sends a beacon to the repeater port of every beacon
address; with no repeater there, each send fails and caproto logs it with a
traceback. The IOC starts caproto's repeater on 127.0.0.1 when none runs, or,
when that fails, says so once in one line and keeps the console clean.
"""
import logging
import socket
import threading

BEACON_LOGGER = "caproto.ctx"


class _BeaconFailures(logging.Filter):
    """Lets the first failed beacon through as one line, then none."""

    def __init__(self, address):
        super().__init__()
        self.address = address
        self.reported = False

    def filter(self, record):
        if not record.getMessage().startswith("Failed to send beacon"):
            return True
        if self.reported:
            return False
        self.reported = True
        record.msg, record.args = ("No CA repeater answers on %s: beacons go nowhere "
                                   "(clients still connect)" % self.address), ()
        record.exc_info = record.exc_text = None
        return True


def ensure(port, log, host="127.0.0.1"):
    """Starts caproto's repeater on host:port in a thread of this process
    unless a repeater already listens there. Returns the thread, or None."""
    logging.getLogger(BEACON_LOGGER).addFilter(_BeaconFailures("%s:%d" % (host, port)))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
    try:
        sock.bind((host, port))
    except OSError:
        sock.close()
        return None  # one runs already (or the port is another's: the filter keeps it quiet)
    try:
        from caproto.sync.repeater import _run_repeater
    except ImportError as exc:
        sock.close()
        log.warning("No CA repeater on %s:%d and caproto's cannot be started: %s", host, port, exc)
        return None
    thread = threading.Thread(target=_run_repeater, args=(sock, (host, port)), name="ca-repeater", daemon=True)
    thread.start()
    log.info("No CA repeater was running: started one on %s:%d", host, port)
    return thread
