"""The module's C++ reaches Python and the command library only through its
helpers: the call wrapper for every command, call_method for a call by name,
and the attribute helpers for what they cache. These read the sources: a call
site written around a helper passes every behaviour test and costs time (or
a report of a failed command) unseen."""
import os
import re

from helpers.paths import ROOT

FOLDERS = ("module", "controller", "wavelength", "motion", "trigger", "diagnostics")
HELPERS = ("module/pyutil.h", "module/pyutil.cpp")  # where the interpreter's change stamp may be read


def sources():
    for folder in FOLDERS:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if name.endswith((".cpp", ".h")):
                path = folder + "/" + name
                with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                    yield path, f.read()


def code_of(text):
    """The text with comments blanked out, line numbers kept."""
    text = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group()), text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def line_of(text, index):
    return text.count("\n", 0, index) + 1


def arguments_at(text, open_paren):
    """The text between the '(' at open_paren and its matching ')'."""
    depth, i = 0, open_paren
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
                return text[open_paren + 1:i]
        i += 1
    raise ValueError("unbalanced parentheses")


def enclosing_call(text, index):
    """(name, arguments) of the innermost call whose parentheses hold index,
    a KEY(...) around it skipped; (None, None) outside any call."""
    depth, i = 0, index
    while i > 0:
        i -= 1
        c = text[i]
        if c == ")":
            depth += 1
        elif c == "(":
            if depth == 0:
                name = re.search(r"([\w:]+)\s*$", text[:i])
                if name and name.group(1) == "KEY":
                    depth, index = 0, i
                    continue
                return (name.group(1) if name else None), arguments_at(text, i)
            depth -= 1
    return None, None


def test_the_sources_are_read():
    files = dict(sources())
    assert "controller/call_wrapper.cpp" in files and len(files) > 20


def test_no_private_interpreter_functions_and_the_change_stamp_only_in_the_helpers():
    found = []
    for path, text in sources():
        code = code_of(text)
        for m in re.finditer(r"\b_Py\w+", code):
            found.append("%s:%d %s" % (path, line_of(code, m.start()), m.group()))
        if path not in HELPERS:
            for m in re.finditer(r"\btp_version_tag\b|Py_TPFLAGS_VALID_VERSION_TAG", code):
                found.append("%s:%d %s" % (path, line_of(code, m.start()), m.group()))
    assert found == []


def test_commands_reach_the_library_only_through_the_call_wrapper():
    found = []
    for path, text in sources():
        code = code_of(text)
        for m in re.finditer(r'KEY\("eposdll"\)', code):
            # The wrapper reads the library; the constructor stores it.
            if path == "controller/call_wrapper.cpp":
                continue
            line = code.splitlines()[line_of(code, m.start()) - 1]
            if path == "module/motor_init.cpp" and re.search(r'self\.attr\(KEY\("eposdll"\)\)\s*=', line):
                continue
            found.append("%s:%d reads the library" % (path, line_of(code, m.start())))
        for m in re.finditer(r'"VCS_\w+"', code):
            if path == "controller/library_loading.cpp":  # the declarations made when it is loaded
                continue
            if path == "controller/call_wrapper.cpp" and m.group() == '"VCS_GetErrorInfo"':
                continue  # asked by the wrapper itself for a failed command's text
            name, arguments = enclosing_call(code, m.start())
            through_wrapper = name in ("command", "transfer") or (
                name == "call_method" and re.match(r'\s*self\s*,\s*KEY\("_motor__dllCall"\)', arguments))
            if not through_wrapper:
                found.append("%s:%d %s outside the call wrapper" % (path, line_of(code, m.start()), m.group()))
    assert found == []


def test_calls_by_name_go_through_call_method():
    """x.attr(name)(...) builds a bound method (and, with a literal, a str)
    at every call; only calls with keyword arguments, which call_method does
    not take, may be written so."""
    found = []
    for path, text in sources():
        code = code_of(text)
        for m in re.finditer(r'\.attr\((KEY\()?"[^"]*"\)?\)\(', code):
            if "py::arg" not in arguments_at(code, m.end() - 1):
                found.append("%s:%d %s" % (path, line_of(code, m.start()), m.group()))
    assert found == []
