#!/usr/bin/env bash
# Cross-builds velkor_index.dll and the test suite for 64-bit Windows with
# MinGW-w64 and runs the suite under Wine through ctest. Installs what is
# missing (Debian 12, as root); the Wine prefix lives in the build folder.
#
#   scripts/test-windows.sh            build folder: build-windows
#   VELKOR_WINDOWS_BUILD=dir scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${VELKOR_WINDOWS_BUILD:-build-windows}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
jobs=2

# libcli11-dev: the tool's argument parsing, header-only, taken from the build
# machine; python3 runs the tool's tests.
packages=(cmake make googletest libcli11-dev python3 g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 wine wine64)
bash scripts/install-deps.sh --no-recommends "${packages[@]}"

start=$SECONDS
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$jobs"
built=$SECONDS

# A private prefix, made before the first test so that no test waits for it.
export WINEPREFIX="$build/wine-prefix" WINEARCH=win64 WINEDEBUG=-all
# No .NET or HTML engine is wanted (without this Wine offers to fetch them),
# and a crash ends the program with a failure instead of starting a debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY
# Wine keeps file names on the Linux side in the locale's character set; the
# tests name files with characters beyond Latin-1.
export LC_ALL=C.UTF-8
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "initialising the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
# One server and its services for all tests, started here with no terminal:
# started by a test, they would hold its output open until they leave, and
# every test would pay for starting them again.
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1

# Every file operation is a round trip to the Wine server: the model-based
# test runs a tenth of its random sequences here (all of them natively).
export VELKOR_MODEL_SEQUENCES=${VELKOR_MODEL_SEQUENCES:-200}

status=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" --timeout 900 || status=$?
echo "windows stage: build $((built - start)) s, tests $((SECONDS - built)) s"
exit $status
