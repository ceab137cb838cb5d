"""A first script: drive the simulated controller the way a lab script drives
the instrument."""
import os
import sys

BUILD = os.environ.get("VOSTEL_BUILD_DIR")
if BUILD:
    sys.path.insert(0, BUILD)

import vostelmotor  # noqa: E402

print("vostelmotor loaded from", vostelmotor.__file__)
m = vostelmotor.motor()
print("command library:", m.eposdll._name)
