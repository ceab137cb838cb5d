#!/usr/bin/env bash
# Installs what the build, the demo and the tests need, then builds the
# development tree for one Python version. Sourced by demo.sh and test.sh.
#   build_for <python> <tag> [ON|OFF] [all|build]
#                                       -> build-<tag>/ (module and simulator in
#                                          build-<tag>/python), venv .venv-<tag>/ with
#                                          the test packages too (all) or only what
#                                          building and importing the module need (build)
#   wheel_from_build <tag>              -> a wheel made from build-<tag> without compiling again
# The Python packages the tests import are the "test" dependency group in
# pyproject.toml (cibuildwheel installs the same group); add test packages there.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What building the module needs besides CMake, Ninja and a compiler.
BUILD_PACKAGES=(pybind11 scikit-build-core)

# One progress line, with the time, for each step that takes a while.
step() { printf '== [%s] %s\n' "$(date +%H:%M:%S)" "$*"; }

install_system_packages() {
  local need=()
  dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev)
  command -v Xvfb >/dev/null 2>&1 || need+=(xvfb)
  command -v xdotool >/dev/null 2>&1 || need+=(xdotool)
  command -v xwininfo >/dev/null 2>&1 || need+=(x11-utils)
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  command -v ccache >/dev/null 2>&1 || need+=(ccache)
  command -v patchelf >/dev/null 2>&1 || need+=(patchelf)  # auditwheel repair
  dpkg -s tk-dev >/dev/null 2>&1 || python3 -c "import tkinter" >/dev/null 2>&1 || need+=(python3-tk)
  apt_install "${need[@]}"
  enable_ccache
}

apt_install() {
  [ $# -gt 0 ] || return 0
  step "installing Debian packages: $*"
  export DEBIAN_FRONTEND=noninteractive
  # One at a time: the test command's legs may each install something.
  (
    flock 9
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$@" >/dev/null
  ) 9>/tmp/vostelmotor-apt.lock
}

# Compiler cache for every build dir these scripts configure (CMake takes the
# launcher from the environment when it configures a new build dir). Paths are
# hashed relative to the checkout, so another clone of the same sources hits.
enable_ccache() {
  command -v ccache >/dev/null 2>&1 || return 0
  export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
  export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
  export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=true
}
enable_ccache

# Prints the path of a CPython interpreter of the given version, if any.
find_python() {
  local v="$1" p
  for p in /root/.pyenv/versions/"$v".*/bin/python"$v" /usr/bin/python"$v" /usr/local/bin/python"$v" \
           "$(command -v "python$v" 2>/dev/null || true)"; do
    if [ -n "$p" ] && [ -x "$p" ] && "$p" -c "import sys" >/dev/null 2>&1; then
      echo "$p"; return 0
    fi
  done
  return 1
}

# The packages of a dependency group in pyproject.toml ("test" unless
# named: "docs" for the documentation site), one a line.
test_packages() {
  local reader
  reader="$(find_python 3.13 || find_python 3.12 || find_python 3.11 || command -v python3)"
  "$reader" - "$ROOT/pyproject.toml" "${1:-test}" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["dependency-groups"][sys.argv[2]]))
PY
}

# pip_install <venv python> <log> <package>...: installs with one line per
# package fetched, so that a long install shows where it is. Skips pip when
# the venv already got exactly these packages.
pip_install() {
  local python="$1" log="$2"; shift 2
  local stamp wanted
  stamp="$(dirname "$(dirname "$python")")/.vostel-packages"
  wanted="$(printf '%s\n' "$@")"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then return 0; fi
  step "pip install into $(dirname "$(dirname "$python")"): $*"
  if ! "$python" -m pip install --no-compile --disable-pip-version-check --progress-bar off "$@" 2>&1 \
      | tee "$log" | { grep --line-buffered -E '^(Collecting|Successfully installed)' | sed -u 's/^/   /' || true; }; then
    cat "$log"; return 1
  fi
  echo "$wanted" >"$stamp"
}

build_for() {
  local python="$1" tag="$2" tests="${3:-ON}" deps="${4:-all}"
  local venv="$ROOT/.venv-$tag" build="$ROOT/build-$tag"
  local packages=(numpy)  # "build": what building and importing the module needs
  [ "$deps" = build ] || mapfile -t packages < <(test_packages)
  if [ ! -x "$venv/bin/python" ]; then
    step "creating $venv with $python"
    "$python" -m venv "$venv"
  fi
  pip_install "$venv/bin/python" "$venv/pip.log" "${BUILD_PACKAGES[@]}" "${packages[@]}"
  step "configuring build-$tag"
  mkdir -p "$build"
  cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DPython_EXECUTABLE="$venv/bin/python" -DVOSTEL_BUILD_TESTS="$tests" \
      -DVOSTEL_MODULE_OUTPUT_DIR="$build/python" >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; return 1; }
  step "building build-$tag"
  cmake --build "$build" -j "$(nproc)"
}

# Packs the module that build_for compiled into a wheel in build-<tag>/dist:
# scikit-build-core configures the same build tree with the same settings,
# finds nothing to compile and installs the module, its stubs and the simulated
# controller (under its own name, for `--simulated`) into the wheel.
wheel_from_build() {
  local tag="$1"
  local build="$ROOT/build-$tag"
  local tests
  tests="$(sed -n 's/^VOSTEL_BUILD_TESTS:BOOL=//p' "$build/CMakeCache.txt")"
  rm -rf "$build/dist"
  step "wheel from build-$tag"
  "$ROOT/.venv-$tag/bin/python" -m pip wheel --no-build-isolation --no-deps --disable-pip-version-check \
      -w "$build/dist" --config-settings=build-dir="$build" --config-settings=cmake.define.VOSTEL_BUILD_TESTS="${tests:-OFF}" \
      --config-settings=cmake.define.VOSTEL_BUILD_SIMULATOR=ON --config-settings=cmake.define.VOSTEL_MODULE_OUTPUT_DIR="$build/python" \
      "$ROOT" >"$build/wheel.log" 2>&1 || { cat "$build/wheel.log"; return 1; }
  grep -E "no work to do|Linking" "$build/wheel.log" | sed 's/^ */   /' || true
  ls "$build"/dist/*.whl
}

# Tools that only the packaging steps use, in a venv of their own.
tools_venv() {
  local venv="$ROOT/.venv-tools"
  if [ ! -x "$venv/bin/python" ]; then
    "$(find_python 3.11 || command -v python3)" -m venv "$venv"
  fi
  # Later auditwheel releases refuse Debian 12's patchelf (0.14.3).
  pip_install "$venv/bin/python" "$venv/pip.log" auditwheel==6.4.2 >&2
  echo "$venv"
}

# One development build (build-demo/, .venv-demo/) for the demo and the benchmark.
build_demo_tree() {
  install_system_packages
  local python
  python="$(find_python 3.11 || find_python 3.9 || command -v python3)"
  build_for "$python" demo OFF
}
