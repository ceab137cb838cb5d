"""The code in the READMEs, the documentation site's pages and the package
description runs as written, from the repository root, against the simulated
controller beside the built module, with a state file of its own and no
display.

A Python block that cannot run so (it needs a running IOC, a display,
Windows) starts with `# tested by tests/python/<file>.py`, naming the test
that runs it, or `# not run: <reason>`; the named test must exist and read
the page the block is on.

Each Python block runs in a fresh interpreter with the build folder on
PYTHONPATH (what "run it with build-demo/python on the path" means). The
blocks name the demo build, build-demo/python; here that name stands for the
build under test, so the module and the simulated controller match the
interpreter. When the demo build exists, the blocks also run unchanged with
the demo's interpreter. Shell blocks made only of `python3 ...` lines run with
the test's interpreter as python3."""
import ast
import os
import re
import subprocess
import sys

import pytest

from helpers.paths import BUILD, ROOT, SIM_LIBRARY

def site_pages():
    pages = []
    for folder, _, names in os.walk(os.path.join(ROOT, "docs")):
        pages += [os.path.relpath(os.path.join(folder, n), ROOT).replace(os.sep, "/") for n in names if n.endswith(".md")]
    return sorted(pages)


DOCUMENTS = ["README.md", "simulator/README.md"] + site_pages()
OPT_OUT = re.compile(r"# (tested by (tests/python/\w+\.py)|not run: \S.*)$")
DEMO_BUILD = "build-demo/python"
DEMO_PYTHON = os.path.join(ROOT, ".venv-demo", "bin", "python")

# What some blocks must print besides what their own comments promise.
EXPECTED_OUTPUT = {
    "sim.pulse_count()": r"^-\d+ 0$",  # 790 nm lies at negative controller positions; no trigger asked
    "step move went": r"^step move went up from ",
}


def blocks(document, language):
    with open(os.path.join(ROOT, document), encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"^```%s\n(.*?)^```" % language, text, flags=re.S | re.M)


def promised_prints(code):
    """Literal values that a `print(...)  # value` line says it prints."""
    promised = []
    for line in code.splitlines():
        match = re.match(r"\s*print\(.*\)\s*#\s*(.+)$", line)
        if match:
            try:
                promised.append(repr(ast.literal_eval(match.group(1).strip())))
            except (ValueError, SyntaxError):
                pass
    return promised


def opted_out(code):
    return OPT_OUT.match(code.splitlines()[0]) if code.strip() else None


PYTHON_BLOCKS = [pytest.param(code, id="%s-%d" % (doc, n)) for doc in DOCUMENTS
                 for n, code in enumerate(blocks(doc, "python"), 1) if not opted_out(code)]
OPTED_OUT = [(doc, opted_out(code)) for doc in DOCUMENTS for code in blocks(doc, "python") if opted_out(code)]
SHELL_BLOCKS = [pytest.param(code, id="%s-sh%d" % (doc, n)) for doc in DOCUMENTS
                for n, code in enumerate(blocks(doc, "sh"), 1)
                if all(line.startswith("python3 ") for line in code.strip().splitlines())]


def child_env(tmp_path, python_path):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "PYTHONPATH")}
    env["PYTHONPATH"] = python_path
    env["VOSTEL_SIM_STATE"] = str(tmp_path / "sim_state.txt")
    return env


def check_output(code, result):
    assert result.returncode == 0, result.stdout + result.stderr
    assert "failed with Code" not in result.stdout, result.stdout
    for value in promised_prints(code):
        assert value in result.stdout, (value, result.stdout)
    for line in re.findall(r'#\s*prints "([^"]+)"', code):  # a call's comment: prints "what it prints"
        assert line in result.stdout.splitlines(), (line, result.stdout)
    lines = result.stdout.splitlines()
    for marker, pattern in EXPECTED_OUTPUT.items():
        if marker in code:
            assert any(re.search(pattern, line) for line in lines), (pattern, result.stdout)


@pytest.fixture
def simulated_build():
    if not os.path.exists(SIM_LIBRARY):
        pytest.skip("simulated controller not built")


def test_documents_have_snippets():
    assert len(PYTHON_BLOCKS) >= 10 and len(SHELL_BLOCKS) >= 2
    assert "docs/getting-started.md" in DOCUMENTS and "docs/pypi.md" in DOCUMENTS


def test_blocks_that_do_not_run_here_name_the_test_that_runs_them():
    """`# tested by X` must name a test file that picks up the blocks marked
    with its name (helpers.ioc.client_examples, helpers.faces.run_docs_example,
    which take the README's too) or reads the page itself."""
    assert OPTED_OUT
    for doc, match in OPTED_OUT:
        test_file = match.group(2)
        if test_file is None:
            continue
        path = os.path.join(ROOT, test_file)
        assert os.path.exists(path), (doc, test_file)
        with open(path, encoding="utf-8") as f:
            source = f.read()
        name = os.path.basename(test_file)
        reads = 'client_examples("%s")' % name in source or os.path.basename(doc) in source
        assert reads or doc == "README.md" and "run_docs_example(" in source, (doc, test_file)


@pytest.mark.parametrize("code", PYTHON_BLOCKS)
def test_python_block_runs_on_the_build_under_test(code, tmp_path, simulated_build):
    # Forward slashes: the folder goes into a string literal, where a Windows
    # path's backslashes would be escapes.
    result = subprocess.run([sys.executable, "-c", code.replace(DEMO_BUILD, BUILD.replace(os.sep, "/"))], cwd=ROOT,
                            env=child_env(tmp_path, BUILD), capture_output=True, text=True, timeout=300)
    check_output(code, result)


@pytest.mark.parametrize("code", PYTHON_BLOCKS)
def test_python_block_runs_as_written_on_the_demo_build(code, tmp_path):
    demo_build = os.path.join(ROOT, DEMO_BUILD)
    if sys.platform == "win32":
        pytest.skip("Windows: the demo build (bash scripts/demo.sh) is a Linux one")
    if not (os.path.exists(DEMO_PYTHON) and os.path.exists(os.path.join(demo_build, "EposCMD64.dll"))):
        pytest.skip("no demo build (bash scripts/demo.sh makes it)")
    result = subprocess.run([DEMO_PYTHON, "-c", code], cwd=ROOT, env=child_env(tmp_path, DEMO_BUILD),
                            capture_output=True, text=True, timeout=300)
    check_output(code, result)


@pytest.mark.parametrize("code", SHELL_BLOCKS)
def test_shell_block_runs(code, tmp_path, simulated_build):
    """`python3` is the test's interpreter; the README's output folder is a
    temporary one."""
    if sys.platform == "win32":
        run_python_lines_on_windows(code, tmp_path)
        return
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    wrapper = bin_dir / "python3"
    wrapper.write_text('#!/bin/sh\nexec "%s" "$@"\n' % sys.executable)  # a symlink would lose the venv
    wrapper.chmod(0o755)
    env = child_env(tmp_path, "")
    env["PATH"] = str(bin_dir) + os.pathsep + env["PATH"]
    env["VOSTEL_BUILD_DIR"] = BUILD
    out = tmp_path / "out"
    script = code.replace("demo-output", str(out))
    result = subprocess.run(["bash", "-euc", script], cwd=ROOT, env=env, capture_output=True, text=True,
                            timeout=300)
    check_output(code, result)
    for name in re.findall(r"demo-output/([\w.]+)", code):
        assert (out / name).stat().st_size > 0, name


def run_python_lines_on_windows(code, tmp_path):
    """Windows has no POSIX shell: a block of `python3 ...` lines runs line by
    line with the test's interpreter, as a user types them at the prompt."""
    import shlex
    lines = [line for line in code.splitlines() if line.strip() and not line.startswith("#")]
    if not all(line.startswith("python3 ") for line in lines):
        pytest.skip("Windows: this shell block needs a POSIX shell")
    env = child_env(tmp_path, "")
    env["VOSTEL_BUILD_DIR"] = BUILD
    out = tmp_path / "out"
    stdout = ""
    for line in lines:
        argv = [sys.executable] + [a.replace("demo-output", str(out)) for a in shlex.split(line)[1:]]
        result = subprocess.run(argv, cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, line + "\n" + result.stdout + result.stderr
        stdout += result.stdout
    check_output(code, subprocess.CompletedProcess(lines, 0, stdout, ""))
    for name in re.findall(r"demo-output/([\w.]+)", code):
        assert (out / name).stat().st_size > 0, name
