"""Which tests are the companions' (the IOC and its faces, the panel, the
check, the CLI) rather than the module's: those whose test module takes names
from the companion packages, directly or through the test side's own modules
(helpers, shared test code), and those using the served IOC's fixtures. They
are marked `companion`, so that `-m "not companion"` keeps the module's own
tests (the test command runs the companions on one Python version only)."""
import inspect
import os
import sys

import pytest

MARKER = "companion: a test of the IOC and its faces, the panel, the check or the CLI"
PACKAGES = ("vostelmotor_lab", "vostelmotor_ioc")
SERVED_FIXTURES = {"serve", "client", "epics_env", "ca_repeater"}
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _origin(value):
    """The name of the module a value is or was defined in, if it says."""
    try:
        name = value.__name__ if inspect.ismodule(value) else getattr(value, "__module__", None)
    except Exception:  # noqa: B902 - a lazy object that cannot say
        return None
    return name if isinstance(name, str) else None


def _on_the_test_side(module):
    path = getattr(module, "__file__", None)
    return bool(path) and os.path.abspath(path).startswith(TESTS + os.sep)


def uses_companions(module, seen=None):
    """Whether `module` or a test-side module it takes names from takes names
    from the companion packages."""
    seen = set() if seen is None else seen
    seen.add(module.__name__)
    for value in list(vars(module).values()):
        name = _origin(value)
        if name is None:
            continue
        if name.split(".")[0] in PACKAGES:
            return True
        source = sys.modules.get(name)
        if name not in seen and source is not None and _on_the_test_side(source) and uses_companions(source, seen):
            return True
    return False


def mark(items):
    verdicts = {}
    for item in items:
        module = getattr(item, "module", None)
        if module is not None and module.__name__ not in verdicts:
            verdicts[module.__name__] = uses_companions(module)
        served = SERVED_FIXTURES.intersection(getattr(item, "fixturenames", ()))
        if served or (module is not None and verdicts[module.__name__]):
            item.add_marker(pytest.mark.companion)
