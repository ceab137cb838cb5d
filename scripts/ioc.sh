#!/usr/bin/env bash
# Runs the EPICS IOC on the simulated controller of the development build:
#   bash scripts/ioc.sh --prefix SIM:GRATING: [--allow-write HOST[,HOST]]
# Channel Access stays on this machine's loopback (127.0.0.1); the simulated
# controller keeps its memory in build-demo/ioc_sim_state.txt.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
cd "$ROOT"
build_demo_tree >/dev/null
export EPICS_CA_AUTO_ADDR_LIST=NO EPICS_CA_ADDR_LIST=127.0.0.1 \
       EPICS_CAS_INTF_ADDR_LIST=127.0.0.1 EPICS_CAS_AUTO_BEACON_ADDR_LIST=NO \
       EPICS_CAS_BEACON_ADDR_LIST=127.0.0.1
export VOSTEL_SIM_STATE="${VOSTEL_SIM_STATE:-$ROOT/build-demo/ioc_sim_state.txt}"
export PYTHONPATH="$ROOT/build-demo/python:$ROOT${PYTHONPATH:+:$PYTHONPATH}"
exec "$ROOT/.venv-demo/bin/python" -m vostelmotor_ioc "$@"
