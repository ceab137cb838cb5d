"""The faces whose clients bind every interface (libca) run the conformance
scenarios in a network namespace of their own, where the loopback is the
only interface: server, simulated controller and clients all inside."""
import os
import subprocess
import sys

import pytest

from conftest import HERE, INSIDE, _missing, face_classes


@pytest.mark.skipif(INSIDE, reason="the outside half")
def test_faces_in_a_private_network():
    from helpers.ioc import private_network_command

    faces = [cls.name for cls in face_classes() if cls.private_network and not _missing(cls.requires)]
    if not faces:
        pytest.skip("no face here needs a private network, or their clients do not import")
    command, why = private_network_command()
    if command is None:
        pytest.skip(why)
    env = dict(os.environ, VOSTEL_PRIVATE_NETWORK="1", VOSTEL_CONFORMANCE_FACES=",".join(faces))
    result = subprocess.run(command + [sys.executable, "-m", "pytest", "-q", "-rA", "-p", "no:cacheprovider",
                                       "-o", "addopts=", os.path.join(HERE, "test_conformance.py")],
                            env=env, capture_output=True, text=True, timeout=900)
    summary = result.stdout[result.stdout.rfind("short test summary"):]
    print(summary)  # the scenarios one by one: pytest -rP shows them
    assert result.returncode == 0, result.stdout[-8000:] + result.stderr[-2000:]
    lines = summary.splitlines()
    assert not [line for line in lines if line.startswith(("FAILED", "ERROR", "XPASS"))], summary
    assert any(line.startswith("PASSED") for line in lines), summary
