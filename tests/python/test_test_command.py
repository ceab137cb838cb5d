"""The test command's own parts: which tests count as the companions' (run
on one Python version only) and the summary line and exit status that CI
reads."""
import os
import subprocess
import sys
import types

import pytest

from helpers import companions
from helpers.paths import ROOT


def module(name, path=None, **names):
    made = types.ModuleType(name)
    made.__file__ = path
    vars(made).update(names)
    return made


def defined_in(module_name):
    def function():
        pass
    function.__module__ = module_name
    return function


@pytest.fixture
def test_side(monkeypatch):
    """register(name, **names) -> a module of the test side (a file under
    tests/python), found in sys.modules as an import leaves it."""
    def register(name, **names):
        made = module(name, os.path.join(companions.TESTS, *name.split(".")) + ".py", **names)
        monkeypatch.setitem(sys.modules, name, made)
        return made
    return register


def test_a_module_is_the_companions_by_the_names_it_takes(test_side):
    plain = module("test_plain", np=types.ModuleType("numpy"), os=os, motor=defined_in("vostelmotor"),
                   fixture=defined_in("conftest"), number=3)
    assert not companions.uses_companions(plain)
    assert companions.uses_companions(module("test_drive", Drive=defined_in("vostelmotor_lab.drive")))
    assert companions.uses_companions(module("test_ioc", server=types.ModuleType("vostelmotor_ioc.server")))

    # Through a helper on the test side, by the helper module or by a name from it.
    test_side("helpers.served", GratingMotorIOC=defined_in("vostelmotor_ioc.server"))
    test_side("helpers.fake", FakeDrive=defined_in("helpers.library"))
    assert companions.uses_companions(module("test_a", served=sys.modules["helpers.served"]))
    assert companions.uses_companions(module("test_b", pvs=defined_in("helpers.served")))
    assert not companions.uses_companions(module("test_c", FakeDrive=defined_in("helpers.fake")))

    # A package outside the tests that uses the companions is not followed,
    # and test-side modules that take names from each other end the walk.
    outside = module("elsewhere", "/usr/lib/python3/elsewhere.py", Drive=defined_in("vostelmotor_lab.drive"))
    sys.modules["elsewhere"] = outside
    try:
        assert not companions.uses_companions(module("test_d", thing=defined_in("elsewhere")))
    finally:
        del sys.modules["elsewhere"]
    first = test_side("shared.first", other=defined_in("shared.second"))
    test_side("shared.second", other=defined_in("shared.first"))
    assert not companions.uses_companions(first)


def test_imports_anywhere_in_test_side_files_count_and_so_do_parameters(tmp_path, monkeypatch):
    monkeypatch.setattr(companions, "TESTS", str(tmp_path))
    (tmp_path / "helpers").mkdir()
    (tmp_path / "helpers" / "served.py").write_text("from vostelmotor_ioc.pva import PvaMotor\n")
    (tmp_path / "helpers" / "plain.py").write_text("import numpy\nfrom . import served\n")
    (tmp_path / "suite").mkdir()
    faces = tmp_path / "suite" / "face_lazy.py"
    faces.write_text("import time\n\nclass Face:\n    def open(self):\n"
                     "        from helpers.served import PvaMotor\n")
    (tmp_path / "suite" / "face_plain.py").write_text("from helpers import plain\n")
    (tmp_path / "suite" / "test_x.py").write_text("from face_lazy import Face\n")
    assert companions.imports_companions(str(faces))
    assert companions.imports_companions(str(tmp_path / "suite" / "test_x.py"))  # a sibling module
    assert not companions.imports_companions(str(tmp_path / "suite" / "face_plain.py"))  # relative: not followed
    assert not companions.imports_companions(str(tmp_path / "helpers" / "plain.py"))

    # A test run with a face class from such a file is the companions'.
    lazy = module("face_lazy", str(faces))
    face_class = type("Face", (), {"__module__": "face_lazy"})
    monkeypatch.setitem(sys.modules, "face_lazy", lazy)
    marked = []
    item = types.SimpleNamespace(module=module("test_y"), fixturenames=["face"], add_marker=marked.append,
                                 callspec=types.SimpleNamespace(params={"face_class": face_class, "n": 3}))
    companions.mark([item])
    assert [m.name for m in marked] == ["companion"]


def test_tests_using_the_served_ioc_are_the_companions_whatever_they_import():
    marked = {}
    items = [types.SimpleNamespace(module=module("test_e"), fixturenames=fixtures,
                                   add_marker=marked.setdefault(name, []).append)
             for name, fixtures in [("served", ["sim", "serve"]), ("client", ["client"]), ("module", ["sim", "lib"])]]
    companions.mark(items)
    assert {name: [m.name for m in marks] for name, marks in marked.items()} == {
        "served": ["companion"], "client": ["companion"], "module": []}


def test_this_run_marks_the_served_tests_and_not_the_modules_own(request):
    items = request.session.items
    marked = {item.nodeid for item in items if item.get_closest_marker("companion")}
    if "companion" in request.config.getoption("markexpr", ""):
        pytest.skip("this run chooses by the mark")
    for item in items:
        if companions.SERVED_FIXTURES.intersection(item.fixturenames):
            assert item.nodeid in marked
    by_file = {}
    for item in items:
        by_file.setdefault(item.nodeid.split("::")[0], set()).add(item.nodeid in marked)
    for name, expected in [("test_panel.py", {True}), ("test_ioc_drive.py", {True}), ("test_check.py", {True}),
                           ("test_connection.py", {False}), ("test_fault_matrix.py", {False}),
                           ("test_module_frame.py", {False}), ("test_test_command.py", {False})]:
        assert by_file.get("tests/python/" + name, expected) == expected, name


@pytest.mark.skipif(sys.platform == "win32", reason="Windows: the test command is a bash script for Linux")
def test_the_last_line_sums_up_and_the_status_says_whether_anything_failed():
    script = os.path.join(ROOT, "scripts", "test.sh")
    env = dict(os.environ, VOSTEL_PYTHONS="0.0", VOSTEL_REQUIRE_ALL="1")
    for argv in ([], ["--quick"]):
        run = subprocess.run(["bash", script] + argv, env=env, capture_output=True, text=True, timeout=60)
        assert run.stdout.splitlines()[-1] == (
            "summary: 0 passed, 1 failed (passed: none; failed: CPython 0.0 (not found))")
        assert run.returncode == 1
    run = subprocess.run(["bash", script, "--everything"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and "usage: bash scripts/test.sh [--quick]" in run.stderr
