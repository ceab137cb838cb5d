#!/usr/bin/env bash
# Benchmark (not a test): host-side cost of the module's calls on the
# simulated controller next to bare ctypes calls of the same functions.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
install_system_packages
python="$(find_python 3.11 || find_python 3.9 || command -v python3)"
build_for "$python" demo OFF
VOSTEL_BUILD_DIR="$ROOT/build-demo/python" "$ROOT/.venv-demo/bin/python" "$ROOT/benchmarks/bench_calls.py"
