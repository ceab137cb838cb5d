#!/usr/bin/env bash
# Installs what the build, the demo and the tests need, then builds the
# development tree for one Python version. Sourced by demo.sh and test.sh.
#   build_for <python> <tag>   -> builds into build-<tag>/ with a venv .venv-<tag>/
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

install_system_packages() {
  local need=()
  dpkg -s libgtest-dev >/dev/null 2>&1 || need+=(libgtest-dev)
  command -v Xvfb >/dev/null 2>&1 || need+=(xvfb)
  command -v xdotool >/dev/null 2>&1 || need+=(xdotool)
  command -v xwininfo >/dev/null 2>&1 || need+=(x11-utils)
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  dpkg -s tk-dev >/dev/null 2>&1 || python3 -c "import tkinter" >/dev/null 2>&1 || need+=(python3-tk)
  if [ ${#need[@]} -gt 0 ]; then
    echo "== installing Debian packages: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need[@]}" >/dev/null
  fi
}

# Prints the path of a CPython interpreter of the given version, if any.
find_python() {
  local v="$1" p
  for p in "$(command -v "python$v" 2>/dev/null || true)" \
           /root/.pyenv/versions/"$v"*/bin/python"$v" \
           /usr/bin/python"$v" /usr/local/bin/python"$v"; do
    if [ -n "$p" ] && [ -x "$p" ] && "$p" -c "import sys" >/dev/null 2>&1; then
      echo "$p"; return 0
    fi
  done
  return 1
}

build_for() {
  local python="$1" tag="$2" tests="${3:-ON}"
  local venv="$ROOT/.venv-$tag" build="$ROOT/build-$tag"
  if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
  fi
  local log="$venv/pip.log"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      numpy pytest pybind11 scikit-build-core matplotlib caproto ophyd bluesky >"$log" 2>&1 || { cat "$log"; return 1; }
  cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DPython_EXECUTABLE="$venv/bin/python" -DVOSTEL_BUILD_TESTS="$tests" \
      -DVOSTEL_MODULE_OUTPUT_DIR="$build/python" >/dev/null
  cmake --build "$build" -j "$(nproc)"
}

# One development build (build-demo/, .venv-demo/) for the demo and the benchmark.
build_demo_tree() {
  install_system_packages
  local python
  python="$(find_python 3.11 || find_python 3.9 || command -v python3)"
  build_for "$python" demo OFF
}
