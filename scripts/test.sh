#!/usr/bin/env bash
# Runs every test: the C++ unit tests (GoogleTest through ctest) and the
# Python tests on each supported CPython found here (3.9 and 3.11), then
# checks that `pip install .` gives a working module without the simulator.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
install_system_packages

versions=()
for v in 3.9 3.11; do
  if p=$(find_python "$v"); then versions+=("$v:$p"); else echo "== CPython $v not found here; skipped"; fi
done
if [ ${#versions[@]} -eq 0 ]; then versions+=("default:$(command -v python3)"); fi

status=0
first=1
for entry in "${versions[@]}"; do
  tag="${entry%%:*}"; python="${entry#*:}"
  echo "== building for Python $tag ($python)"
  build_for "$python" "$tag"
  if [ $first -eq 1 ]; then
    echo "== C++ unit tests"
    ctest --test-dir "build-$tag" --output-on-failure -j 2 || status=1
    first=0
  fi
  echo "== Python tests on $tag"
  VOSTEL_BUILD_DIR="$ROOT/build-$tag/python" VOSTEL_SIM_LIB="$ROOT/build-$tag/python/EposCMD64.dll" \
    ".venv-$tag/bin/python" -m pytest -q -p no:cacheprovider $(ls -d tests/python simulator/tests 2>/dev/null) || status=1
done

for entry in "${versions[@]}"; do
  tag="${entry%%:*}"
  echo "== pip install . on $tag (what a user installs; stays installed in .venv-$tag)"
  ".venv-$tag/bin/python" -m pip install -q --disable-pip-version-check . >"build-$tag/pip-install.log" 2>&1 \
    || { cat "build-$tag/pip-install.log"; status=1; continue; }
  (cd /tmp && "$ROOT/.venv-$tag/bin/python" - <<'PY') || status=1
import os, vostelmotor
folder = os.path.dirname(vostelmotor.__file__)
assert not os.path.exists(os.path.join(folder, "EposCMD64.dll")), "simulator installed beside the module"
assert os.path.exists(os.path.join(folder, "vostelmotor.pyi")), "type stub missing"
assert os.path.exists(os.path.join(folder, "vostelmotor-stubs", "__init__.pyi")), "stub package missing"
print("installed module:", vostelmotor.__file__, "->", vostelmotor.motor)
import vostelmotor_ioc
print("installed IOC:", vostelmotor_ioc.__file__)
PY
done
exit $status
