#!/usr/bin/env bash
# Runs every test and ends with one summary line naming the legs that passed
# and failed; the exit status is non-zero if anything failed.
#
#   bash scripts/test.sh           all legs (what .ci/run calls)
#   bash scripts/test.sh --quick   the edit-test loop: the module's tests on
#                                  one version against its development build
#                                  (no wheel, no companions, no Windows)
#
# The legs run side by side, each with its own log in build-test/; the end
# shows a table of the legs and the last lines of each failed leg's log:
#  - C++: the GoogleTest programs through ctest, once (they do not depend on
#    the Python version);
#  - Python <v>, for each CPython version (3.9, 3.11 and 3.13, the oldest, the
#    development and the newest supported; VOSTEL_PYTHONS="3.9 3.10 ..."
#    chooses others): a development build in build-<v> (the builds take turns,
#    they need the CPU), then a wheel packed from that build tree, repaired to
#    a manylinux tag and installed into a clean venv (build-<v>/venv-wheel)
#    and into .venv-<v>, where the tests run against the installed module with
#    the simulated controller, spread over pytest-xdist workers. Every version
#    runs the module's tests; one (VOSTEL_FULL_PYTHON, 3.11 by default, else
#    the first found) also runs the companions' tests (IOC and its faces,
#    panel, check, CLI), which tests/python/conftest.py marks `companion`;
#  - docs: scripts/docs.sh check (the documentation site and its examples),
#    on the wheel installed for the version with the companions' tests (whose
#    leg leaves the examples, tests/python/test_readme_snippets.py, to it);
#  - Windows: scripts/test-windows.sh, the module built for the Windows
#    CPython and the suite run on it under Wine (scripts/test-windows-cross.sh
#    where that script is not in the checkout).
# Versions not found here are skipped, unless VOSTEL_REQUIRE_ALL=1.
# VOSTEL_TEST_WORKERS sets the pytest-xdist workers of each Python leg (3 for
# the leg with the companions and for --quick, 2 for the others).
source "$(dirname "$0")/setup.sh"
set +e
# The suite starts some hundreds of Python processes (pytest workers, the CLI,
# servers, fresh interpreters for library loading), each importing numpy,
# caproto, ophyd, bluesky...; with PYTHONDONTWRITEBYTECODE set (as in some
# shells and CI images) each of them compiled those from source again
# (`import ophyd, bluesky`: 1.9 s of CPU against 1.0 s from the caches). The
# tests write bytecode caches: in the
# venvs and tests/ of this checkout (ignored by git) and, for the Windows
# CPython, under build-windows/pycache.
unset PYTHONDONTWRITEBYTECODE
cd "$ROOT"

LOGS="$ROOT/build-test"
# pytest arguments of the Python legs: the workers take tests from each
# other's queues, so that a few long tests do not end up on one worker; the
# slowest tests are listed in the log. Each worker imports the suite (some
# seconds of CPU): the legs of the module's tests, shorter, get fewer.
PYTEST_ARGS=(--dist worksteal --durations=15)
FULL_WORKERS=(-n "${VOSTEL_TEST_WORKERS:-3}")
MODULE_WORKERS=(-n "${VOSTEL_TEST_WORKERS:-2}")
MODULE_ONLY=(-m "not companion")
# pytest arguments for the Windows leg's suite (scripts/test-windows.sh
# chooses its workers unless VOSTEL_WINDOWS_WORKERS does).
WINDOWS_ARGS=()
[ -z "${VOSTEL_WINDOWS_WORKERS:-}" ] || WINDOWS_ARGS=(-n "$VOSTEL_WINDOWS_WORKERS")

seconds() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# ---------------------------------------------------------------- one leg ---
# `bash scripts/test.sh --leg NAME KIND ARGS...` runs one leg in the
# foreground; the run starts it with its output in build-test/NAME.log and
# reads build-test/NAME.status afterwards ("<status> <wall s> <CPU s> <detail>").
# CPU=<seconds of CPU used by the processes this shell started and waited
# for>, from the builtin `times` (in this shell: a subshell would count its own).
cpu_seconds() {
  times >"$LOGS/.times.$$"
  CPU=$(awk 'NR == 2 { split($1, u, "m"); split($2, s, "m"); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$LOGS/.times.$$")
  rm -f "$LOGS/.times.$$"
}

finish_leg() {  # finish_leg <status> <detail>
  cpu_seconds
  echo "$1 $SECONDS $CPU $2" >"$LEG_STATUS"
  step "$LEG_NAME: $([ "$1" -eq 0 ] && echo passed || echo "FAILED ($2)")"
  exit "$1"
}

pytest_result() {  # the counts of pytest's last line in a log, or ""
  grep -E '(passed|failed|error|skipped).* in [0-9.]+s' "$1" | tail -1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*//'
}

# A clean venv holding only the repaired wheel and the test packages. The
# build venv's pip installs into it, which spares a pip of its own. A venv
# made for the same interpreter, test packages and wheel requirements is kept
# and gets only the new wheel.
install_clean() {  # install_clean <tag> <wheel> <python>
  local tag="$1" wheel="$2" python="$3" venv="$ROOT/build-$1/venv-wheel" packages stamp
  mapfile -t packages < <(test_packages)
  stamp="$(printf '%s\n' "$python" "${packages[@]}"; unzip -p "$wheel" '*.dist-info/METADATA' | grep '^Requires-Dist:')"
  if [ -x "$venv/bin/python" ] && [ -f "$venv.stamp" ] && [ "$(cat "$venv.stamp")" = "$stamp" ]; then
    step "installing $(basename "$wheel") into the clean venv (build-$tag/venv-wheel; its test packages kept)"
    # What the tests put beside the module for their run and a stopped run left there.
    rm -f "$venv"/lib/python*/site-packages/EposCMD64.dll
    "$ROOT/.venv-$tag/bin/python" -m pip --python "$venv/bin/python" install --no-deps --force-reinstall \
        --no-compile --disable-pip-version-check -q "$wheel" || return 1
  else
    rm -rf "$venv" "$venv.stamp"
    "$python" -m venv --without-pip "$venv"
    step "installing $(basename "$wheel") into a clean venv (build-$tag/venv-wheel)"
    "$ROOT/.venv-$tag/bin/python" -m pip --python "$venv/bin/python" install --no-compile \
        --disable-pip-version-check --progress-bar off "$wheel" "${packages[@]}" >"$venv.log" 2>&1 \
        || { cat "$venv.log"; return 1; }
    grep -E '^Successfully installed' "$venv.log" | sed 's/^/   /'
    echo "$stamp" >"$venv.stamp"
  fi
  # The same wheel in the development venv, where a user of the checkout finds it.
  "$ROOT/.venv-$tag/bin/python" -m pip install --no-deps --force-reinstall --no-compile \
      --disable-pip-version-check -q "$wheel"
}

leg_python() {  # leg_python <tag> <python> <full|module>
  local tag="$1" python="$2" scope="$3" tools="$ROOT/.venv-tools" wheel status
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
  [ $status -eq 0 ] || finish_leg $status "wheel"
  touch "$LOGS/$LEG_NAME.installed"  # for the docs leg
  local args=("${PYTEST_ARGS[@]}" "${FULL_WORKERS[@]}")
  [ "$scope" = full ] || args=("${PYTEST_ARGS[@]}" "${MODULE_WORKERS[@]}" "${MODULE_ONLY[@]}")
  # The docs leg runs the documentation's examples on this same wheel.
  [ "$scope" != full ] || [ ! -f scripts/docs.sh ] || args+=(--ignore=tests/python/test_readme_snippets.py)
  step "Python tests on $tag against the installed wheel ($([ "$scope" = full ] && echo "module and companions" || echo "module"))"
  "build-$tag/venv-wheel/bin/python" scripts/test_installed.py "${args[@]}" 2>&1 | tee "$LOGS/$LEG_NAME.pytest"
  status=${PIPESTATUS[0]}
  finish_leg $status "$(pytest_result "$LOGS/$LEG_NAME.pytest")"
}

leg_cpp() {  # leg_cpp <tag>
  step "C++ unit tests (ctest, build-$1)"
  ctest --test-dir "build-$1" --output-on-failure -j 2 2>&1 | tee "$LOGS/$LEG_NAME.ctest"
  local status=${PIPESTATUS[0]}
  finish_leg $status "$(grep -E 'tests passed' "$LOGS/$LEG_NAME.ctest" | tail -1)"
}

leg_windows() {  # leg_windows <script>
  step "Windows leg: bash $1"
  # In a session of its own, so that a signal meant for a Windows process
  # group cannot end this leg before it reports (stopping the leg stops it
  # too); standard input a pipe.
  local inner status args=()
  [ "$(basename "$1")" != test-windows.sh ] || args=("${WINDOWS_ARGS[@]}")
  setsid bash "$1" "${args[@]}" < <(:) &
  inner=$!
  trap 'kill -TERM -- -$inner 2>/dev/null; exit 143' TERM INT
  wait $inner
  status=$?
  finish_leg $status "$(grep -E '^summary:' "$LOGS/$LEG_NAME.log" | tail -1 | sed 's/^summary: //')"
}

leg_docs() {  # leg_docs <tag>: the documentation site, on the wheel the leg Python-<tag> installs
  step "waiting for the wheel in build-$1/venv-wheel (leg Python-$1)"
  while [ ! -f "$LOGS/Python-$1.installed" ]; do
    [ ! -f "$LOGS/Python-$1.status" ] || finish_leg 1 "no wheel installed for $1"
    sleep 2
  done
  VOSTEL_BUILD_DIR="$ROOT/build-$1/python" VOSTEL_DOCS_PYTHON="$ROOT/build-$1/venv-wheel/bin/python" \
      bash scripts/docs.sh check
  finish_leg $? "$(pytest_result "$LOGS/$LEG_NAME.log")"
}

if [ "${1:-}" = --leg ]; then
  LEG_NAME="$2"; LEG_STATUS="$LOGS/$2.status"; kind="$3"; shift 3
  "leg_$kind" "$@"
  finish_leg 1 "the leg ended without a result"
fi

# ---------------------------------------------------------------- the run ---
# (All in functions, read whole before anything runs: editing this file
# during a run does not disturb that run.)
passed=()
failed=()
skipped=()
record() {  # record <name> <status>
  if [ "$2" -eq 0 ]; then passed+=("$1"); else failed+=("$1"); fi
  step "$1: $([ "$2" -eq 0 ] && echo passed || echo FAILED)"
}
list() { local IFS=,; [ $# -gt 0 ] && echo "$*" | sed 's/,/, /g' || echo none; }
summary() {
  local extra=""
  [ ${#skipped[@]} -gt 0 ] && extra="; not here: $(list "${skipped[@]}")"
  echo "summary: ${#passed[@]} passed, ${#failed[@]} failed (passed: $(list "${passed[@]}"); failed: $(list "${failed[@]}")$extra)"
  [ ${#failed[@]} -eq 0 ] && [ ${#passed[@]} -gt 0 ]
}

find_versions() {  # find_versions <version>... -> versions=(tag:python ...)
  local v p
  versions=()
  for v in "$@"; do
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
}

# A child in the background, in a session of its own, waited for: a signal's
# trap runs at once, not after the child has ended, and stops the child with
# whatever it started (a build's compilers).
in_background() { setsid "$@" & BACKGROUND=$!; wait $BACKGROUND; }

run_quick() {
  local entry="${versions[0]}" tag status
  tag="${entry%%:*}"
  trap stop_all INT TERM
  step "quick: the module's tests on $tag against build-$tag (bash scripts/test.sh runs everything)"
  in_background bash -c 'set -e; source scripts/setup.sh; build_for "$1" "$2" ON all' _ "${entry#*:}" "$tag"
  status=$?
  if [ $status -ne 0 ]; then record "build $tag" $status; return; fi
  VOSTEL_BUILD_DIR="$ROOT/build-$tag/python" in_background "$ROOT/.venv-$tag/bin/python" -m pytest -q \
      -p no:cacheprovider "${PYTEST_ARGS[@]}" "${FULL_WORKERS[@]}" "${MODULE_ONLY[@]}" tests/python simulator/tests
  record "Python $tag (quick)" $?
}

legs=()   # name:pid
start_leg() {  # start_leg <name> <kind> <args...>: in a session of its own, so that it can be stopped whole
  local name="$1"; shift
  setsid bash "$0" --leg "$name" "$@" >"$LOGS/$name.log" 2>&1 </dev/null &
  legs+=("$name:$!")
  step "$name: started (log: build-test/$name.log)"
}
stop_all() {
  local entry
  for entry in "${legs[@]}"; do kill -TERM -- "-${entry##*:}" 2>/dev/null; done
  [ -z "${BACKGROUND:-}" ] || kill -TERM -- "-$BACKGROUND" 2>/dev/null
  echo "summary: interrupted; legs stopped (logs in build-test/)"
  exit 130
}

run_all() {
  local windows_script full ordered=() entry tag python status build_started cpp=0 rows=() row name label took cpu detail
  mkdir -p "$LOGS"
  rm -f "$LOGS"/*.status "$LOGS"/*.log "$LOGS"/*.pytest "$LOGS"/*.ctest "$LOGS"/*.installed
  trap stop_all INT TERM

  # The Windows leg first: it is the longest and mostly waits on its own tools.
  windows_script=scripts/test-windows.sh
  [ -f "$windows_script" ] || windows_script=scripts/test-windows-cross.sh
  start_leg Windows windows "$windows_script"

  # auditwheel, in a venv of its own, for every leg's repair.
  if ! in_background bash -c 'set -e; source scripts/setup.sh; tools_venv >/dev/null' >"$LOGS/tools.log" 2>&1; then
    cat "$LOGS/tools.log"; record "wheel tools" 1; versions=()
  fi

  # Builds one after the other in this shell (they need the CPU); the rest of
  # a leg, mostly waiting, runs beside the next build. The version running the
  # companions' tests goes first: its tests take longest.
  full="${VOSTEL_FULL_PYTHON:-3.11}"
  for entry in "${versions[@]}"; do [ "${entry%%:*}" = "$full" ] && ordered+=("$entry"); done
  [ ${#ordered[@]} -gt 0 ] || [ ${#versions[@]} -eq 0 ] || full="${versions[0]%%:*}"
  for entry in "${versions[@]}"; do [ "${entry%%:*}" = "$full" ] || ordered+=("$entry"); done
  for entry in "${ordered[@]}"; do
    tag="${entry%%:*}"; python="${entry#*:}"
    step "building build-$tag with CPython $tag ($python; log: build-test/build-$tag.log)"
    # The tests run in the clean venv, so the development venv gets only what
    # building and importing the module need. Every tree gets the C++ tests
    # too (compiler-cache hits after the first), so that a developer's
    # build-<tag> keeps them; ctest runs once.
    build_started=$SECONDS
    in_background bash -c 'set -e; source scripts/setup.sh; build_for "$1" "$2" ON build' _ "$python" "$tag" \
        >"$LOGS/build-$tag.log" 2>&1
    status=$?
    step "build-$tag: $([ $status -eq 0 ] && echo built || echo FAILED) in $(seconds $((SECONDS - build_started)))"
    if [ $status -ne 0 ]; then tail -n 30 "$LOGS/build-$tag.log"; record "build $tag" $status; continue; fi
    if [ $cpp -eq 0 ]; then start_leg C++ cpp "$tag"; cpp=1; fi
    start_leg "Python-$tag" python "$tag" "$python" "$([ "$tag" = "$full" ] && echo full || echo module)"
    if [ "$tag" = "$full" ] && [ -f scripts/docs.sh ]; then start_leg docs docs "$tag"; fi
  done

  for entry in "${legs[@]}"; do
    BACKGROUND="${entry##*:}"
    wait "$BACKGROUND"
    status=$?
    name="${entry%:*}"
    if ! read -r status took cpu detail <"$LOGS/$name.status" 2>/dev/null; then
      detail="ended without a result (exit status $status)"; status=1; took=0; cpu=0
    fi
    label="${name/Python-/Python }"
    [ "$name" = Windows ] && label="Windows ($(basename "$windows_script"))"
    if [ "$status" -eq 0 ]; then passed+=("$label"); else failed+=("$label"); fi
    printf -v row '   %-36s %-6s %6s wall %4d s CPU  %s' "$label" "$([ "$status" -eq 0 ] && echo passed || echo FAILED)" \
        "$(seconds "$took")" "$cpu" "$detail"
    rows+=("$row")
    if [ "$status" -ne 0 ]; then
      echo "---- $label FAILED; the end of build-test/$name.log:"
      tail -n 40 "$LOGS/$name.log" | sed 's/^/   | /'
    fi
  done
  trap - INT TERM
  step "all legs ended"
  printf '%s\n' "${rows[@]}"
}

main() {
  local quick=0 started=$SECONDS wanted
  case "${1:-}" in
    --quick) quick=1 ;;
    "") ;;
    -h|--help) sed -n '2,/^source/p' "$0" | sed '$d; s/^# \{0,1\}//'; return 0 ;;
    *) echo "usage: bash scripts/test.sh [--quick]" >&2; return 2 ;;
  esac
  read -r -a wanted <<<"${VOSTEL_PYTHONS:-3.9 3.11 3.13}"
  [ $quick -eq 0 ] || wanted=("${wanted[0]}")
  [ $quick -eq 0 ] || [ -n "${VOSTEL_PYTHONS:-}" ] || wanted=(3.11)
  find_versions "${wanted[@]}"
  if [ ${#versions[@]} -gt 0 ]; then
    ( set -e; install_system_packages )
    if [ $quick -eq 1 ]; then run_quick; else run_all; fi
  fi
  mkdir -p "$LOGS"
  cpu_seconds
  step "the run took $(seconds $((SECONDS - started))) wall and $CPU s CPU (its processes, those a Wine server ran for it not included)"
  summary
}

main "$@"; exit $?  # one line: bash has read it whole before main runs
