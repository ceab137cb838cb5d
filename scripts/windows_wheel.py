"""Packs a cross-built Windows installation into a wheel.

    python scripts/windows_wheel.py STAGING TAG DIST

STAGING is what `cmake --install` put there from a MinGW-w64 build of the
module (the .pyd, its stubs and the bench package's simulated controller);
TAG the wheel's tag, e.g. cp311-cp311-win_amd64; DIST the output folder.
The pure-Python packages and the project's metadata come from the checkout
and pyproject.toml, laid out as scikit-build-core lays out the Linux wheel.
Prints the wheel's path.
"""
import base64
import hashlib
import os
import sys
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Fixed date for every member: the same sources give the same wheel bytes.
DATE = (2026, 1, 1, 0, 0, 0)


def _metadata(project):
    lines = ["Metadata-Version: 2.1",
             "Name: " + project["name"],
             "Version: " + project["version"],
             "Summary: " + project["description"]]
    if "keywords" in project:
        lines.append("Keywords: " + ",".join(project["keywords"]))
    if "license" in project and "text" in project["license"]:
        lines.append("License: " + project["license"]["text"])
    for c in project.get("classifiers", []):
        lines.append("Classifier: " + c)
    for label, url in project.get("urls", {}).items():
        lines.append("Project-URL: %s, %s" % (label, url))
    lines.append("Requires-Python: " + project["requires-python"])
    for dep in project.get("dependencies", []):
        lines.append("Requires-Dist: " + dep)
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append("Provides-Extra: " + extra)
        for dep in deps:
            requirement, _, marker = dep.partition(";")
            if marker.strip():
                lines.append('Requires-Dist: %s; (%s) and extra == "%s"' % (requirement.strip(), marker.strip(), extra))
            else:
                lines.append('Requires-Dist: %s; extra == "%s"' % (requirement.strip(), extra))
    readme = project.get("readme")
    body = ""
    if isinstance(readme, dict) and "file" in readme:
        lines.append("Description-Content-Type: " + readme.get("content-type", "text/markdown"))
        with open(os.path.join(ROOT, readme["file"]), encoding="utf-8") as f:
            body = f.read()
    return "\n".join(lines) + "\n\n" + body


def _files(staging, packages):
    """(name in the wheel, path on disk), sorted."""
    out = {}
    for top, _dirs, names in os.walk(staging):
        for n in names:
            path = os.path.join(top, n)
            out[os.path.relpath(path, staging).replace(os.sep, "/")] = path
    for package in packages:
        base = os.path.join(ROOT, package)
        for top, dirs, names in os.walk(base):
            dirs[:] = [d for d in dirs if d != "__pycache__"]
            for n in names:
                if n.endswith((".pyc", ".pyo")):
                    continue
                path = os.path.join(top, n)
                out.setdefault(os.path.relpath(path, ROOT).replace(os.sep, "/"), path)
    return sorted(out.items())


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def build(staging, tag, dist):
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        pyproject = tomllib.load(f)
    project = pyproject["project"]
    packages = pyproject["tool"]["scikit-build"]["wheel"]["packages"]
    name = project["name"].replace("-", "_")
    info = "%s-%s.dist-info" % (name, project["version"])
    wheel_path = os.path.join(dist, "%s-%s-%s.whl" % (name, project["version"], tag))
    os.makedirs(dist, exist_ok=True)
    generated = [
        (info + "/METADATA", _metadata(project).encode()),
        (info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: vostelmotor windows_wheel\n"
                           "Root-Is-Purelib: false\nTag: %s\n" % tag).encode()),
    ]
    scripts = project.get("scripts", {})
    if scripts:
        text = "[console_scripts]\n" + "".join("%s = %s\n" % kv for kv in scripts.items())
        generated.append((info + "/entry_points.txt", text.encode()))
    license_file = os.path.join(ROOT, "LICENSE")
    if os.path.isfile(license_file):
        with open(license_file, "rb") as f:
            generated.append((info + "/licenses/LICENSE", f.read()))
    record = []
    tmp = wheel_path + ".part"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        def put(arcname, data):
            zi = zipfile.ZipInfo(arcname, DATE)
            zi.compress_type = zipfile.ZIP_DEFLATED
            zi.external_attr = 0o644 << 16
            z.writestr(zi, data)
            record.append(_record_line(arcname, data))

        for arcname, path in _files(staging, packages):
            with open(path, "rb") as f:
                put(arcname, f.read())
        for arcname, data in generated:
            put(arcname, data)
        record.append(info + "/RECORD,,")
        zi = zipfile.ZipInfo(info + "/RECORD", DATE)
        zi.external_attr = 0o644 << 16
        z.writestr(zi, "\n".join(record) + "\n")
    os.replace(tmp, wheel_path)
    return wheel_path


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    print(build(*sys.argv[1:]))
