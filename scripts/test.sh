#!/usr/bin/env bash
# Runs every test and ends with one summary line naming the suites that
# passed and failed:
#  - the C++ unit tests (GoogleTest through ctest), once: they do not depend
#    on the Python version;
#  - for each CPython version (3.9, 3.11 and 3.13, the oldest, the development
#    and the newest supported; VOSTEL_PYTHONS="3.9 3.10 ..." chooses others):
#    one development build in build-<tag>, a wheel packed from that same build
#    tree and repaired to a manylinux tag, installed into a clean venv, where
#    the Python tests run against the installed module with the simulated
#    controller. The wheel is also installed into .venv-<tag>.
# Versions not found here are skipped, unless VOSTEL_REQUIRE_ALL=1.
source "$(dirname "$0")/setup.sh"
set +e
cd "$ROOT"

read -r -a wanted <<<"${VOSTEL_PYTHONS:-3.9 3.11 3.13}"
passed=()
failed=()
skipped=()
record() {  # record <suite> <status>
  if [ "$2" -eq 0 ]; then passed+=("$1"); else failed+=("$1"); fi
  step "$1: $([ "$2" -eq 0 ] && echo passed || echo FAILED)"
}

( set -e; install_system_packages )
tools=""
versions=()
for v in "${wanted[@]}"; do
  if p=$(find_python "$v"); then
    versions+=("$v:$p")
  elif [ "${VOSTEL_REQUIRE_ALL:-0}" = 1 ]; then
    failed+=("CPython $v (not found)")
  else
    step "CPython $v not found here; skipped"
    skipped+=("CPython $v")
  fi
done
if [ ${#versions[@]} -eq 0 ] && [ ${#failed[@]} -eq 0 ]; then versions+=("default:$(command -v python3)"); fi

# A clean venv holding only the repaired wheel and the test packages. The
# build venv's pip installs into it, which spares a pip of its own.
install_clean() {  # install_clean <tag> <wheel> <python>
  local tag="$1" wheel="$2" python="$3" venv="$ROOT/build-$1/venv-wheel" packages
  mapfile -t packages < <(test_packages)
  rm -rf "$venv"
  "$python" -m venv --without-pip "$venv"
  step "installing $(basename "$wheel") into a clean venv (build-$tag/venv-wheel)"
  "$ROOT/.venv-$tag/bin/python" -m pip --python "$venv/bin/python" install --no-compile \
      --disable-pip-version-check --progress-bar off "$wheel" "${packages[@]}" >"$venv.log" 2>&1 \
      || { cat "$venv.log"; return 1; }
  grep -E '^Successfully installed' "$venv.log" | sed 's/^/   /'
  # The same wheel in the development venv, where a user of the checkout finds it.
  "$ROOT/.venv-$tag/bin/python" -m pip install --no-deps --force-reinstall --no-compile \
      --disable-pip-version-check -q "$wheel"
}

first=1
for entry in "${versions[@]}"; do
  tag="${entry%%:*}"; python="${entry#*:}"
  step "CPython $tag ($python)"
  # Every tree gets the C++ tests too (compiler-cache hits after the first),
  # so that a developer's build-<tag> keeps them; ctest runs once.
  # The tests run in the clean venv below, so the development venv gets only
  # what building and importing the module need.
  ( set -e; build_for "$python" "$tag" ON build )
  status=$?
  if [ $status -ne 0 ]; then record "build $tag" $status; continue; fi
  if [ $first -eq 1 ]; then
    step "C++ unit tests (ctest, build-$tag)"
    ctest --test-dir "build-$tag" --output-on-failure -j 2
    record "C++" $?
    first=0
  fi
  if [ -z "$tools" ]; then tools="$(set -e; tools_venv)" || { record "wheel tools" 1; continue; }; fi
  ( set -e
    wheel_from_build "$tag"
    step "auditwheel repair (patchelf $(patchelf --version | cut -d' ' -f2))"
    rm -rf "build-$tag/wheelhouse"
    "$tools/bin/auditwheel" repair -w "build-$tag/wheelhouse" "build-$tag"/dist/*.whl >"build-$tag/repair.log" 2>&1 \
      || { cat "build-$tag/repair.log"; exit 1; }
    wheel=$(ls "build-$tag"/wheelhouse/*manylinux*.whl)
    echo "   $wheel"
    install_clean "$tag" "$ROOT/$wheel" "$python" )
  status=$?
  if [ $status -ne 0 ]; then record "wheel $tag" $status; continue; fi
  step "Python tests on $tag against the installed wheel"
  "build-$tag/venv-wheel/bin/python" scripts/test_installed.py
  record "Python $tag" $?
  [ -n "${docs_tag:-}" ] || docs_tag="$tag"
done

# The documentation site, once: strict build, its examples on the first
# version's build, its messages and reference, two pages in headless Chromium.
if [ -n "${docs_tag:-}" ]; then
  step "documentation site (scripts/docs.sh check, on $docs_tag)"
  VOSTEL_BUILD_DIR="$ROOT/build-$docs_tag/python" VOSTEL_DOCS_PYTHON="$ROOT/build-$docs_tag/venv-wheel/bin/python" \
      bash scripts/docs.sh check
  record "docs" $?
fi

list() { local IFS=,; [ $# -gt 0 ] && echo "$*" | sed 's/,/, /g' || echo none; }
extra=""
[ ${#skipped[@]} -gt 0 ] && extra="; not here: $(list "${skipped[@]}")"
echo "summary: ${#passed[@]} passed, ${#failed[@]} failed (passed: $(list "${passed[@]}"); failed: $(list "${failed[@]}")$extra)"
[ ${#failed[@]} -eq 0 ] && [ ${#passed[@]} -gt 0 ]
