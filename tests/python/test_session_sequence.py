"""A session in which nothing fails sends exactly the recorded command
sequence: checks against the recording made before moves and connections
learnt to notice failures."""
import json
import os

from helpers import session

RECORDING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "failure_free_session.json")


def run_session(sim, monkeypatch, sim_motor):
    clock = session.install(sim, monkeypatch)
    sim.clear_trace()
    results = [op(sim_motor, clock) for op in session.SESSION]
    return results, session.commands(sim)


def test_failure_free_session_sends_the_recorded_commands(sim, sim_motor, monkeypatch):
    results, sent = run_session(sim, monkeypatch, sim_motor)
    if os.environ.get("VOSTEL_RECORD_SESSION"):
        os.makedirs(os.path.dirname(RECORDING), exist_ok=True)
        with open(RECORDING, "w") as f:
            json.dump(sent, f, indent=0)
    with open(RECORDING) as f:
        recorded = json.load(f)
    assert results[0] is True and all(r is None for r in results[-2:])
    assert len(sent) == len(recorded)
    for i, (got, want) in enumerate(zip(sent, recorded)):
        assert (i, got) == (i, want)
