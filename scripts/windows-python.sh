#!/usr/bin/env bash
# Runs the Windows CPython that scripts/test-windows.sh set up under Wine:
#   bash scripts/windows-python.sh ARGS...     (as `python ARGS...` on Windows)
# Linux paths in ARGS are not translated; the Linux root is drive Z:, so
# /work/x is Z:\work\x (winepath -w /work/x prints it). The standard streams
# reach the Windows program as pipes: Python under Wine 8.0 aborts when one is
# a regular file or a terminal it cannot query. The exit status is Python's.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
env_file="$ROOT/build-windows/wine.env"
[ -f "$env_file" ] || { echo "no $env_file: run scripts/test-windows.sh first" >&2; exit 2; }
# shellcheck disable=SC1090
source "$env_file"
if [ -t 0 ] || [ -f /dev/stdin ]; then
  exec < <(cat)
fi
wine "$VOSTEL_WINDOWS_PYTHON" "$@" 2> >(cat >&2) | cat
exit "${PIPESTATUS[0]}"
