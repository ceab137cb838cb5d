"""Which tests are the companions' (the IOC and its faces, the panel, the
check, the CLI) rather than the module's: those whose test module, or a
parameter they are run with, takes names from the companion packages or
imports them, directly or through the test side's own modules (helpers,
shared test code; imports inside functions count), and those using the
served IOC's fixtures. They are marked `companion`, so that
`-m "not companion"` keeps the module's own tests (the test command runs the
companions on one Python version only)."""
import ast
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


def _test_side_file(name, beside):
    """The file of the test-side module `name`, imported from a file in the
    folder `beside`, or None."""
    parts = name.split(".")
    for folder in (beside, TESTS):
        for path in (os.path.join(folder, *parts) + ".py", os.path.join(folder, *parts, "__init__.py")):
            if os.path.isfile(path):
                return os.path.abspath(path)
    return None


def imports_companions(path, seen=None):
    """Whether the source file `path`, or a test-side module it imports
    (anywhere in it), imports the companion packages."""
    seen = set() if seen is None else seen
    seen.add(path)
    if os.path.basename(path) == "conftest.py":
        return False  # its fixtures count by their names (SERVED_FIXTURES), not by what they import
    try:
        with open(path, "rb") as f:
            tree = ast.parse(f.read(), path)
    except (OSError, SyntaxError, ValueError):
        return False
    names = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            names += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            names += [node.module] + [node.module + "." + alias.name for alias in node.names]
    for name in names:
        if name.split(".")[0] in PACKAGES:
            return True
        found = _test_side_file(name, os.path.dirname(path))
        if found is not None and found not in seen and imports_companions(found, seen):
            return True
    return False


def uses_companions(module, seen=None):
    """Whether `module` or a test-side module it takes names from takes names
    from the companion packages or imports them."""
    seen = set() if seen is None else seen
    seen.add(module.__name__)
    if _on_the_test_side(module) and imports_companions(os.path.abspath(module.__file__)):
        return True
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


def _parameters_use_companions(item, verdicts):
    for value in getattr(getattr(item, "callspec", None), "params", {}).values():
        name = _origin(value)
        source = sys.modules.get(name) if name else None
        if source is not None and _on_the_test_side(source):
            if name not in verdicts:
                verdicts[name] = uses_companions(source)
            if verdicts[name]:
                return True
    return False


def mark(items):
    verdicts = {}
    for item in items:
        module = getattr(item, "module", None)
        if module is not None and module.__name__ not in verdicts:
            verdicts[module.__name__] = uses_companions(module)
        served = SERVED_FIXTURES.intersection(getattr(item, "fixturenames", ()))
        if served or (module is not None and verdicts[module.__name__]) or _parameters_use_companions(item, verdicts):
            item.add_marker(pytest.mark.companion)
