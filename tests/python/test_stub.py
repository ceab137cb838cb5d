"""The type stub shipped for editors must describe the real module."""
import ast
import inspect
import os

import vostelmotor
from helpers.paths import ROOT

STUB = os.path.join(ROOT, "stubs", "vostelmotor.pyi")


def stub_tree():
    with open(STUB) as f:
        return ast.parse(f.read())


def plain_signature(fn_node):
    """The stub's parameters as inspect would print them, without annotations."""
    args = fn_node.args
    names = [a.arg for a in args.args]
    none = object()
    defaults = [none] * (len(names) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    parts = [n if d is none else "%s=%r" % (n, d) for n, d in zip(names, defaults)]
    return "(" + ", ".join(parts) + ")"


def test_stub_names_the_module_level_names():
    bound = set()
    for node in stub_tree().body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            bound.update(alias.asname or alias.name for alias in node.names)
        elif isinstance(node, ast.ClassDef):
            bound.add(node.name)
    module_names = {k for k in vars(vostelmotor) if not k.startswith("__")}
    assert module_names <= bound


def test_stub_methods_match_the_class_in_order_signature_and_docstring():
    cls = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == "motor")
    stub_methods = [n for n in cls.body if isinstance(n, ast.FunctionDef)]
    public = [k for k in vars(vostelmotor.motor)
              if k == "__init__" or not (k.startswith("_motor__") or k.startswith("__"))]
    assert [n.name for n in stub_methods] == public
    for node in stub_methods:
        real = getattr(vostelmotor.motor, node.name)
        assert plain_signature(node) == str(inspect.signature(real)), node.name
        assert ast.get_docstring(node, clean=False) == real.__doc__, node.name
