#!/usr/bin/env python3
"""Rewrites the C++ call sites of the motor's methods into their fast forms.
Idempotent; run it on files written in the plain pybind11 style:

    python3 scripts/fast_calls.py [files...]   (default: every .cpp/.h of the module)

  x.attr("name")                 -> x.attr(KEY("name"))
  modattr("name"), cell("name"   -> modattr(KEY("name")), cell(KEY("name")
  command(self, "VCS_..."        -> command(self, KEY("VCS_...")
  <receiver>.attr(KEY("m"))(...) -> call_method(<receiver>, KEY("m"), ...)
                                    (not with py::arg keywords or *unpacking)
  modattr(KEY("f"))(...)         -> vcall(modattr(KEY("f")), ...)
  Other calls of an object stay with pybind11; vcall(f, ...) is the fast
  form to write by hand.

The names are still looked up at every call; KEY only interns the name.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
FOLDERS = ["module", "controller", "wavelength", "motion", "trigger", "diagnostics"]
LIT = r'"((?:[^"\\]|\\.)*)"'


def wrap_literals(text):
    text = re.sub(r'\.attr\(' + LIT + r'\)', r'.attr(KEY("\1"))', text)
    text = re.sub(r'\b(modattr|cell)\(' + LIT, r'\1(KEY("\2")', text)
    text = re.sub(r'\bcommand\((\w+), ' + LIT, r'command(\1, KEY("\2")', text)
    return text


def receiver_start(text, end):
    """Start of the receiver expression that ends just before `end`:
    names, '::', '.', '->' and balanced (...) / [...] groups."""
    i = end
    while i > 0:
        c = text[i - 1]
        if c in ")]":
            depth, j = 0, i - 1
            while j >= 0:
                if text[j] in ")]":
                    depth += 1
                elif text[j] in "([":
                    depth -= 1
                    if depth == 0:
                        break
                j -= 1
            i = j
        elif c.isalnum() or c in "_.:":
            i -= 1
        elif c == ">" and i > 1 and text[i - 2] == "-":
            i -= 2
        else:
            break
    return i


def closing_paren(text, start):
    """Index of the ')' matching the '(' at `start` (strings respected)."""
    depth, i = 0, start
    while i < len(text):
        c = text[i]
        if c == '"':
            i += 1
            while text[i] != '"':
                i += 2 if text[i] == "\\" else 1
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return i
        i += 1
    raise ValueError("unbalanced parentheses")


CALL = re.compile(r'\.attr\((KEY\("(?:[^"\\]|\\.)*"\))\)\(')


def rewrite_calls(text):
    while True:
        for m in CALL.finditer(text):
            start = receiver_start(text, m.start())
            receiver = text[start:m.start()]
            if not receiver or receiver.endswith("::"):
                continue
            # Skip a receiver that is a bare keyword-like token (return, etc.).
            if re.fullmatch(r"(return|else|case)", receiver):
                continue
            close = closing_paren(text, m.end() - 1)
            args = text[m.end():close].strip()
            # Keyword arguments and unpacking stay with pybind11's call.
            if "py::arg" in args or re.search(r"(^|,)\s*\*", args):
                continue
            new = "call_method(%s, %s%s)" % (receiver, m.group(1), ", " + args if args else "")
            text = text[:start] + new + text[close + 1:]
            break
        else:
            return text


MODCALL = re.compile(r'(?<![\w.])modattr\((KEY\("(?:[^"\\]|\\.)*"\))\)\(')


def rewrite_module_calls(text):
    while True:
        for m in MODCALL.finditer(text):
            close = closing_paren(text, m.end() - 1)
            args = text[m.end():close].strip()
            if "py::arg" in args or re.search(r"(^|,)\s*\*", args):
                continue
            new = "vcall(modattr(%s)%s)" % (m.group(1), ", " + args if args else "")
            text = text[:m.start()] + new + text[close + 1:]
            break
        else:
            return text


def main(paths):
    if not paths:
        paths = [p for f in FOLDERS for p in sorted((ROOT / f).glob("*")) if p.suffix in (".cpp", ".h")]
    for path in map(pathlib.Path, paths):
        if path.name.endswith("_math.cpp") or path.name.endswith("_math.h"):
            continue
        old = path.read_text()
        new = rewrite_module_calls(rewrite_calls(wrap_literals(old)))
        if new != old:
            path.write_text(new)
            print("rewrote", path)


if __name__ == "__main__":
    main(sys.argv[1:])
