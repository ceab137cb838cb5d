#!/usr/bin/env bash
# The main job: builds the module with the simulated controller beside it and
# runs the demo script against it.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
install_system_packages
python="$(find_python 3.11 || find_python 3.9 || command -v python3)"
build_for "$python" demo OFF
VOSTEL_BUILD_DIR="$ROOT/build-demo/python" "$ROOT/.venv-demo/bin/python" "$ROOT/examples/demo.py" "$@"
