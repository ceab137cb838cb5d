#!/usr/bin/env bash
# Windows portability, checked on Linux: cross-compiles the simulated
# controller (EposCMD64.dll), the pure C++ core and their GoogleTest programs
# with MinGW-w64, then runs the C++ tests and a C program that loads the DLL by
# name under Wine. The Python module itself is not cross-compiled (there is no
# Windows Python here). Ends with one summary line.
#   bash scripts/test-windows-cross.sh
source "$(dirname "$0")/setup.sh"
set +e
cd "$ROOT"
build="$ROOT/build-mingw"
toolchain="$ROOT/cmake/mingw-w64-x86_64.cmake"

( set -e
  need=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
  command -v wine >/dev/null 2>&1 || need+=(wine64)
  [ -d /usr/src/googletest ] || need+=(libgtest-dev)
  command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
  apt_install "${need[@]}" ) || { echo "summary: 0 passed, 1 failed (failed: installing MinGW-w64 and Wine)"; exit 1; }

# WINEPATH: the test programs find EposCMD64.dll in bin/, as Windows would on PATH.
# VOSTEL_WINEPREFIX: a Wine prefix whose server the caller has started and
# stops (scripts/test-windows.sh lends its own); else one of this run's own.
export WINEPREFIX="${VOSTEL_WINEPREFIX:-$build/wineprefix}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPATH="$build/bin"
passed=()
failed=()
record() {
  if [ "$2" -eq 0 ]; then passed+=("$1"); else failed+=("$1"); fi
  step "$1: $([ "$2" -eq 0 ] && echo passed || echo FAILED)"
}

# One Wine server for the whole run (the first start also creates the prefix),
# so that each test program starts in well under a second.
mkdir -p "$build"
if [ -z "${VOSTEL_WINEPREFIX:-}" ]; then
  step "starting Wine ($(wine --version))"
  wineboot -i >/dev/null 2>&1
  wineserver -p
  trap 'wineserver -k 2>/dev/null' EXIT
fi

# GoogleTest from Debian's sources, built with the same compiler.
( set -e
  step "GoogleTest for MinGW-w64"
  cmake -S /usr/src/googletest -B "$build/googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$build/gtest" >"$build/gtest.log" 2>&1 \
      || { cat "$build/gtest.log"; exit 1; }
  cmake --build "$build/googletest" >>"$build/gtest.log" 2>&1 && cmake --install "$build/googletest" >/dev/null \
      || { cat "$build/gtest.log"; exit 1; }
  step "configuring build-mingw (core, simulator, tests; no Python module)"
  cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
      -DVOSTEL_BUILD_MODULE=OFF -DVOSTEL_BUILD_TESTS=ON -DVOSTEL_MODULE_OUTPUT_DIR="$build/bin" \
      -DGTest_DIR="$build/gtest/lib/cmake/GTest" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
  step "building build-mingw"
  cmake --build "$build" -j "$(nproc)"
  step "load_by_name.exe"
  x86_64-w64-mingw32-gcc-posix -std=c99 -O2 -Wall -static -o "$build/bin/load_by_name.exe" "$ROOT/tests/windows/load_by_name.c"
  ! command -v file >/dev/null || file "$build/bin/EposCMD64.dll" "$build"/*.exe "$build"/simulator/*.exe "$build/bin/load_by_name.exe" | sed "s#$ROOT/##; s/^/   /" )
record "MinGW-w64 build" $?

if [ ${#failed[@]} -eq 0 ]; then
  step "C++ tests under Wine (ctest lists each program's tests by running it)"
  ctest --test-dir "$build" --output-on-failure -j 2
  record "C++ under Wine" $?
  step "the DLL loaded by name from a C program under Wine"
  (cd "$build/bin" && wine load_by_name.exe "$(winepath -w "$build/load_by_name_state.txt" 2>/dev/null)")
  record "DLL by name under Wine" $?
fi

list() { local IFS=,; [ $# -gt 0 ] && echo "$*" | sed 's/,/, /g' || echo none; }
echo "summary: ${#passed[@]} passed, ${#failed[@]} failed (passed: $(list "${passed[@]}"); failed: $(list "${failed[@]}"))"
[ ${#failed[@]} -eq 0 ]
