"""A bluesky list_scan for the faces that have a bluesky device: a detector
that reads the suite's probe at each point, and the readings of the run."""
import time


class ProbeDetector:
    """A readable that calls `probe()` each time the plan reads it and keeps
    what it answered; its reading is the number of the read."""

    parent = None

    def __init__(self, probe, name="probe"):
        self.name = name
        self._probe = probe
        self.values = []

    def read(self):
        self.values.append(self._probe())
        return {self.name: {"value": len(self.values), "timestamp": time.time()}}

    def describe(self):
        return {self.name: {"source": "conformance probe", "dtype": "integer", "shape": []}}

    def read_configuration(self):
        return {}

    def describe_configuration(self):
        return {}


def list_scan(RE, motor, points, probe, key=None):
    """Runs bp.list_scan([detector], motor, points) on `RE`: one (motor's
    reading in the event, probe's value) pair per point. `key` is the motor's
    data key in the events (its name by default)."""
    from bluesky.plans import list_scan as plan

    detector = ProbeDetector(probe)
    events = []
    RE(plan([detector], motor, list(points)),
       lambda name, doc: events.append(doc) if name == "event" else None)
    key = key or motor.name
    readings = sorted((event["data"][detector.name], event["data"][key]) for event in events)
    return [(position, detector.values[number - 1]) for number, position in readings]
