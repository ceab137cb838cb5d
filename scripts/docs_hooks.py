"""MkDocs hooks of the documentation site (mkdocs.yml names this file).

Two markers in a page are replaced by text made from the sources when the
site is built, so the reference is never written twice by hand:

    <!-- argparse: vostelmotor_lab/check.py -->    the --help of that command
    <!-- ioc-pvs -->                               the IOC's PVs beside its motor record

The command-line parsers are read without importing their modules (the
panel's imports the compiled module, the IOC's caproto): the module's
top-level imports that succeed, constants and functions are executed by
themselves and its build_parser() is called.
"""
import argparse
import ast
import logging
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
log = logging.getLogger("mkdocs.plugins.vostelmotor")

# Pages the nav may name before they are written (none now): a page the nav
# names that is missing from docs/ fails the strict build.
PAGES_OF_OTHER_BRANCHES = set()

HELP_WIDTH = "88"


def _drop_missing(nav, docs_dir):
    kept = []
    for entry in nav:
        if isinstance(entry, dict):
            (title, target), = entry.items()
            if isinstance(target, list):
                target = _drop_missing(target, docs_dir)
            elif target in PAGES_OF_OTHER_BRANCHES and not os.path.exists(os.path.join(docs_dir, target)):
                log.info("nav: %s is not in docs/ yet; left out", target)
                continue
            kept.append({title: target})
        elif isinstance(entry, str) and entry in PAGES_OF_OTHER_BRANCHES \
                and not os.path.exists(os.path.join(docs_dir, entry)):
            continue
        else:
            kept.append(entry)
    return kept


# The reference reads the type stub as the installed stub package lays it
# out (vostelmotor-stubs/__init__.pyi): the docs' loader finds a module in a
# folder of its name, not in a lone .pyi file.
STUB = os.path.join(ROOT, "stubs", "vostelmotor.pyi")
STUB_FOLDER = os.path.join(ROOT, "build-docs", "stubs")


# Laid out when MkDocs loads this file, before the plugins read their paths.


def _lay_out_stub():
    package = os.path.join(STUB_FOLDER, "vostelmotor")
    os.makedirs(package, exist_ok=True)
    with open(STUB, encoding="utf-8") as f, open(os.path.join(package, "__init__.pyi"), "w", encoding="utf-8") as out:
        out.write(f.read())


_lay_out_stub()


def on_config(config):
    config["nav"] = _drop_missing(config["nav"], config["docs_dir"])
    return config


def parser_of(path):
    """The argparse parser that build_parser() in this source file makes."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    namespace = {"argparse": argparse, "__name__": "docs_" + os.path.basename(path)[:-3]}
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom, ast.Assign, ast.AnnAssign, ast.FunctionDef, ast.ClassDef)):
            try:
                exec(compile(ast.Module([node], []), path, "exec"), namespace)
            except Exception:  # an import or a name the parser does not need
                pass
    return namespace["build_parser"]()


def command_help(path):
    before = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = HELP_WIDTH  # argparse wraps to the terminal's width
    try:
        return parser_of(path).format_help()
    finally:
        if before is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = before


def _literal(node):
    try:
        return ast.literal_eval(node)
    except ValueError:
        return None


def ioc_pvs():
    """(name, type, units, access, doc) of each pvproperty of the IOC's group."""
    path = os.path.join(ROOT, "vostelmotor_ioc", "server.py")
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    rows = []
    for node in ast.walk(tree):
        if not (isinstance(node, ast.Call) and getattr(node.func, "id", None) == "pvproperty"):
            continue
        kw = {k.arg: k.value for k in node.keywords}
        name = _literal(kw["name"]) if "name" in kw else None
        if name is None:
            continue
        if "record" in kw:
            kind = "%s record" % _literal(kw["record"])
        elif "dtype" in kw:
            kind = {"ENUM": "enum", "CHAR": "string"}.get(getattr(kw["dtype"], "attr", ""), "value")
        else:
            value = _literal(kw["value"]) if "value" in kw else None
            kind = {float: "float", int: "int", str: "string"}.get(type(value), "value")
        read_only = _literal(kw["read_only"]) if "read_only" in kw else False
        rows.append((name, kind, _literal(kw["units"]) if "units" in kw else "",
                     "read" if read_only else "read, write", _literal(kw["doc"]) if "doc" in kw else ""))
    return rows


def ioc_pv_table():
    lines = ["| PV (after the prefix) | type | units | access | what it is |", "|---|---|---|---|---|"]
    for name, kind, units, access, doc in ioc_pvs():
        lines.append("| `%s` | %s | %s | %s | %s |" % (name, kind, units, access, doc))
    return "\n".join(lines)


def on_page_markdown(markdown, page, config, files):
    def argparse_block(match):
        return "```text\n%s```" % command_help(match.group(1).strip())

    markdown = re.sub(r"<!-- argparse: (\S+) -->", argparse_block, markdown)
    return markdown.replace("<!-- ioc-pvs -->", ioc_pv_table())
