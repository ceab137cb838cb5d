"""The documentation site: it builds in strict mode, its reference covers the
class, its generated parts say what the code does, its troubleshooting page
names every message the module and its companions can show, and its pages
render in a real browser.

The site's examples run in test_readme_snippets.py. The build needs the
generator (VOSTEL_MKDOCS, or .venv-docs/bin/mkdocs that scripts/docs.sh
installs) and the screenshots Chromium; `bash scripts/docs.sh check` brings
both."""
import ast
import importlib
import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest

if sys.platform == "win32":
    pytest.skip("Windows: the site's sources are the same on every platform; the Linux docs leg builds and checks "
                "them (the generator and the headless browser are installed there)", allow_module_level=True)

from helpers.paths import ROOT

DOCS = os.path.join(ROOT, "docs")
SITE = os.path.join(ROOT, "build-docs", "site")
SCREENSHOTS = os.path.join(ROOT, "build-docs", "screenshots")
MKDOCS = os.environ.get("VOSTEL_MKDOCS", os.path.join(ROOT, ".venv-docs", "bin", "mkdocs"))
MODULE_FOLDERS = ["module", "controller", "wavelength", "motion", "trigger", "diagnostics"]
COMPANIONS = ["vostelmotor_lab", "vostelmotor_ioc"]

# String literals of the module's sources that are not messages a user meets:
# the docstrings (motor_class.cpp, read by the reference), the controller's
# protocol name, the file dialog's filter, internal limits and the labels of
# the support file's snapshot.
NOT_MESSAGES = {
    "MAXON SERIAL V2", "<instancemethod %U at %p>", "too many methods", "too many parameters",
    "Support Data File VostelMotorControl - Generated on", "Coefficent A:", "Coefficent B:", "Coefficent C:",
    "Digitalinputs (Limitswitches):", "Motorposition Offset:", ", Current:", "nm to",
    "Returns the argument unchanged, for ctypes' own conversion.",  # a docstring
}


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def flat(text):
    """Text with its whitespace runs made single spaces, as Markdown reads it."""
    return " ".join(text.split())


def load_hooks():
    hooks_file = importlib.util.spec_from_file_location("docs_hooks", os.path.join(ROOT, "scripts", "docs_hooks.py"))
    hooks = importlib.util.module_from_spec(hooks_file)
    hooks_file.loader.exec_module(hooks)
    return hooks


# ------------------------------------------------------------ the messages
def cpp_literals(source):
    """The string literals of C++ source, adjacent ones joined as the
    compiler joins them, comments left out."""
    source = re.sub(r"//[^\n]*", "", source)
    source = re.sub(r"/\*.*?\*/", "", source, flags=re.S)
    joined = re.sub(r'"\s*\n\s*"', "", source)  # "a "\n  "b" -> "a b"
    return [bytes(m, "utf-8").decode("unicode_escape") for m in re.findall(r'"((?:[^"\\\n]|\\.)*)"', joined)]


def message_pieces(text):
    """The parts of a message text that are written out in full: split at
    newlines and at what is filled in, kept when they say something (two
    words, ten characters)."""
    pieces = []
    for part in re.split(r"\n|%[-#\d.]*[sdrgfx]|\{[^}]*\}", text):
        part = flat(part).strip(" ,;:(").strip()
        if len(part) >= 10 and " " in part and part not in NOT_MESSAGES:
            pieces.append(part)
    return pieces


def module_messages():
    messages = set()
    for folder in MODULE_FOLDERS:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if not name.endswith((".cpp", ".h")) or name == "motor_class.cpp":
                continue
            for literal in cpp_literals(read(os.path.join(folder, name))):
                for piece in message_pieces(literal):
                    if flat(literal).strip() not in NOT_MESSAGES:
                        messages.add((os.path.join(folder, name), piece))
    return messages


def _leading_text(node):
    """The literal text of a message expression: "..." % x, "a" "b", f"..."."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mod):
        return _leading_text(node.left)
    if isinstance(node, ast.JoinedStr):
        return "%s".join(v.value if isinstance(v, ast.Constant) else "%s" for v in node.values)
    return None


def companion_messages():
    """What the companions raise, refuse, exit with, report as a parser error,
    log, or report as a drive's message ({"message": ...}), with a text of
    their own."""
    messages = set()
    for package in COMPANIONS:
        for name in sorted(os.listdir(os.path.join(ROOT, package))):
            if not name.endswith(".py"):
                continue
            path = os.path.join(package, name)
            for node in ast.walk(ast.parse(read(path), path)):
                call, text = None, None
                if isinstance(node, ast.Raise) and isinstance(node.exc, ast.Call):
                    call = node.exc
                elif isinstance(node, ast.Call) and getattr(node.func, "attr", None) in ("error", "exit", "warning",
                                                                                        "info"):
                    call = node
                elif isinstance(node, ast.Dict):
                    text = next((_leading_text(v) for k, v in zip(node.keys, node.values)
                                 if isinstance(k, ast.Constant) and k.value == "message"), None)
                if call is not None and call.args:
                    text = _leading_text(call.args[0])
                if text:
                    messages.update((path, piece) for piece in message_pieces(text))
    return messages


def test_message_extraction_finds_the_known_messages():
    """The extraction itself: known messages of each kind are found."""
    module = {piece for _, piece in module_messages()}
    assert {"Motor not connected", "number of given steps out of range", "limitswitch activated",
            "Couldn't read", "the move ended at", "steps away from its target",
            "please download 'EposCMD64.dll' from Maxon"} <= module
    assert any(p.startswith("the stop request failed: the drive refused both") for p in module)
    companions = {piece for _, piece in companion_messages()}
    assert {"use a point as the decimal separator", "the write list names no host",
            "The IOC needs caproto: pip install vostelmotor[epics]", "outside the calibrated range",
            "the check moves 1 to", "not served: not connected to the controller",
            "No CA repeater was running: started one on"} <= companions
    assert "a message that exists nowhere" not in module | companions


@pytest.mark.parametrize("source", ["module", "companions"])
def test_troubleshooting_names_every_message(source):
    page = flat(read("docs/troubleshooting.md"))
    messages = module_messages() if source == "module" else companion_messages()
    missing = sorted("%s: %s" % m for m in messages if m[1] not in page)
    assert not missing, "not on docs/troubleshooting.md:\n" + "\n".join(missing)


# ------------------------------------------------------------ the reference
def stub_public_methods():
    tree = ast.parse(read("stubs/vostelmotor.pyi"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "motor")
    return [n.name for n in cls.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")]


def test_reference_has_every_public_method_with_prints_and_raises():
    page = read("docs/reference/motor.md")
    documented = re.findall(r"^::: vostelmotor\.motor\.(\w+)$", page, flags=re.M)
    assert documented == stub_public_methods()
    for name in documented:
        section = page.split("::: vostelmotor.motor.%s\n" % name, 1)[1].split(":::", 1)[0]
        for row in ("does", "prints", "raises"):
            assert re.search(r"^\| %s \| \S" % row, section, flags=re.M), (name, row)


def test_reference_names_what_the_module_prints():
    """Every line the module prints (a literal it passes to print) is on the
    reference page."""
    page = flat(read("docs/reference/motor.md"))
    said = set()
    for folder in MODULE_FOLDERS:
        for name in os.listdir(os.path.join(ROOT, folder)):
            if name.endswith(".cpp"):
                for call in re.findall(r"say\((.*?)\);\n", read(os.path.join(folder, name)), flags=re.S):
                    said.update(flat(p).strip() for p in cpp_literals(call))
    said = {s for s in said if len(s) >= 10 and " " in s}
    assert "limitswitch activated" in said and "arrived at" in said
    missing = sorted(s for s in said if s not in page and s not in flat(read("docs/troubleshooting.md")))
    assert not missing


@pytest.mark.parametrize("path,module", [
    ("vostelmotor_lab/cli.py", "vostelmotor_lab.cli"),
    ("vostelmotor_lab/panel.py", "vostelmotor_lab.panel"),
    ("vostelmotor_lab/check.py", "vostelmotor_lab.check"),
    ("vostelmotor_ioc/cli.py", "vostelmotor_ioc.cli"),
    ("vostelmotor_lab/tango_server.py", "vostelmotor_lab.tango_server"),
])
def test_command_line_reference_is_the_parsers_help(path, module, monkeypatch):
    """The site reads the parsers without importing their modules; what it
    prints must be what the imported parser prints."""
    hooks = load_hooks()
    monkeypatch.setenv("COLUMNS", hooks.HELP_WIDTH)
    assert hooks.command_help(path) == importlib.import_module(module).build_parser().format_help()
    assert "<!-- argparse: %s -->" % path in read("docs/reference/cli.md")


def test_ioc_pv_table_is_the_servers():
    pytest.importorskip("caproto")
    from vostelmotor_ioc.server import GratingMotorIOC

    served = {prop.pvspec.name for prop in GratingMotorIOC._pvs_.values()}
    assert {"MOTOR", "STATE", "CALIBRATE"} <= served
    assert {row[0] for row in load_hooks().ioc_pvs()} == served
    assert "<!-- ioc-pvs -->" in read("docs/reference/ioc.md")


# ------------------------------------------------------------ the site
@pytest.fixture(scope="module")
def site():
    if not os.path.exists(MKDOCS):
        pytest.skip("no mkdocs (bash scripts/docs.sh installs it)")
    env = dict(os.environ, NO_MKDOCS_2_WARNING="1")
    result = subprocess.run([MKDOCS, "build", "--strict", "--clean", "-f", os.path.join(ROOT, "mkdocs.yml")],
                            cwd=ROOT, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "WARNING" not in result.stderr, result.stderr
    return SITE


def test_site_builds_strictly_with_the_generated_parts(site):
    motor = read(os.path.join(site, "reference", "motor", "index.html"))
    for name in stub_public_methods():
        assert 'id="vostelmotor.motor.%s"' % name in motor, name
    assert "Moves the Motor to a given Wavelength" in motor  # the docstring, from the stub
    cli = read(os.path.join(site, "reference", "cli", "index.html"))
    assert "--answers FILE" in cli and "--allow-write" in cli and "<!-- argparse" not in cli
    ioc = read(os.path.join(site, "reference", "ioc", "index.html"))
    assert "CALIBRATE" in ioc and "<!-- ioc-pvs" not in ioc


def test_strict_build_fails_on_a_broken_link(site, tmp_path):
    """The strictness is real: a page with a link to no page fails the build."""
    docs = tmp_path / "docs"
    shutil.copytree(DOCS, docs)
    with open(docs / "index.md", "a", encoding="utf-8") as f:
        f.write("\n[nowhere](no-such-page.md)\n")
    config = read("mkdocs.yml").replace("docs_dir: docs", "docs_dir: %s" % docs)
    config = config.replace("site_dir: build-docs/site", "site_dir: %s" % (tmp_path / "site"))
    for relative in ("scripts/docs_hooks.py", "scripts/docs_griffe.py", "build-docs/stubs"):
        config = config.replace(relative, os.path.join(ROOT, relative))
    (tmp_path / "mkdocs.yml").write_text(config)
    env = dict(os.environ, NO_MKDOCS_2_WARNING="1")
    result = subprocess.run([MKDOCS, "build", "--strict", "-f", str(tmp_path / "mkdocs.yml")], cwd=ROOT, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode != 0 and "no-such-page.md" in result.stderr, result.stderr


def chromium():
    for name in ("chromium", "chromium-browser"):
        if shutil.which(name):
            return shutil.which(name)
    pytest.skip("no chromium (bash scripts/docs.sh check installs it)")


def screenshot(browser, page, png, tmp_path):
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--user-data-dir=%s" % (tmp_path / "profile"), "--window-size=1280,1000",
                    "--screenshot=%s" % png, "file://" + page],
                   capture_output=True, text=True, timeout=120, check=True)


@pytest.mark.parametrize("page", ["index.html", "reference/motor/index.html"])
def test_page_renders_in_a_headless_browser(site, page, tmp_path):
    """The theme's style sheet and the page's text reach the screen: the
    header bar in the theme's colour across the top, dark text on white below."""
    from PIL import Image

    browser = chromium()
    os.makedirs(SCREENSHOTS, exist_ok=True)
    png = os.path.join(SCREENSHOTS, page.replace("/index.html", "").replace("/", "-").replace(".html", "") + ".png")
    screenshot(browser, os.path.join(site, page), png, tmp_path)
    image = Image.open(png).convert("RGB")
    assert image.size == (1280, 1000)
    header = [image.getpixel((x, 10)) for x in range(0, 1280, 40)]
    # Material's default primary colour (indigo) fills the header.
    assert all(b > 150 and r < 120 and g < 120 for r, g, b in header), header[:3]
    body = image.crop((200, 120, 1000, 900))
    pixels = [body.getpixel((x, y)) for x in range(0, body.width, 4) for y in range(0, body.height, 4)]
    dark = sum(1 for p in pixels if max(p) < 100) / len(pixels)
    white = sum(1 for p in pixels if min(p) > 240) / len(pixels)
    assert white > 0.5 and dark > 0.005, (white, dark)


def test_readme_is_a_page_whose_links_reach_files():
    readme = read("README.md")
    assert len(readme.splitlines()) <= 150
    assert readme.splitlines()[5:8] == [
        "```sh",
        "bash scripts/demo.sh    # main job: builds everything and runs the demo on the simulated controller",
        "bash scripts/test.sh    # every test: C++ unit tests, Python tests against the installed wheel on "
        "CPython 3.9, 3.11 and 3.13"]
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", readme)
    assert any(t.endswith(".png") for t in targets) and "docs/troubleshooting.md" in targets
    missing = [t for t in targets if "://" not in t and not os.path.exists(os.path.join(ROOT, t))]
    assert not missing
