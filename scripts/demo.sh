#!/usr/bin/env bash
# The main job: builds the module with the simulated controller beside it and
# runs the demo script against it.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
build_demo_tree
run=()
# The support-data folder dialog needs a display; use a virtual one when there is none.
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then run=(xvfb-run -a); fi
VOSTEL_BUILD_DIR="$ROOT/build-demo/python" "${run[@]}" "$ROOT/.venv-demo/bin/python" "$ROOT/examples/demo.py" \
  "${1:-$ROOT/demo-output}"
