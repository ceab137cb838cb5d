#!/usr/bin/env bash
# Benchmark (not a test): host-side cost of the module's calls on the
# simulated controller next to bare ctypes calls of the same functions.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
build_demo_tree
VOSTEL_BUILD_DIR="$ROOT/build-demo/python" "$ROOT/.venv-demo/bin/python" "$ROOT/benchmarks/bench_calls.py"
