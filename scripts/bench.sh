#!/usr/bin/env bash
# Benchmark (not a test): the module's calls against the same methods in plain
# Python and the bare ctypes calls, on the simulated controller; then, for each
# face (Channel Access, PVAccess, Tango), what it adds to a move and how often
# a client receives the readback while moving.
#   bash scripts/bench.sh              the demo tree (CPython 3.11 or the newest found)
#   bash scripts/bench.sh 3.9 3.11     each given version's development tree
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
state_dir="$(mktemp -d)"
trap 'rm -rf "$state_dir"' EXIT
# One thread for numpy's BLAS: its idle workers would share the CPU with the timing.
export OPENBLAS_NUM_THREADS=1 VOSTEL_SIM_STATE="$state_dir/state.txt"
run() {  # <build dir> <venv>
  VOSTEL_BUILD_DIR="$1/python" "$2/bin/python" "$ROOT/benchmarks/bench_calls.py"
  if "$2/bin/python" -c "import caproto" 2>/dev/null; then
    VOSTEL_BUILD_DIR="$1/python" "$2/bin/python" "$ROOT/benchmarks/bench_ioc.py"
  else
    echo "IOC benchmark skipped: caproto is not installed in $2"
  fi
}
if [ $# -eq 0 ]; then
  build_demo_tree
  run "$ROOT/build-demo" "$ROOT/.venv-demo"
fi
for version in "$@"; do
  if [ ! -d "$ROOT/build-$version/python" ]; then
    install_system_packages
    build_for "$(find_python "$version")" "$version" OFF
  fi
  run "$ROOT/build-$version" "$ROOT/.venv-$version"
done
