#!/usr/bin/env bash
# The Windows stage: cross-builds brennic for 64-bit Windows with mingw-w64, runs the whole
# test suite under wine, compares the Windows console with the Linux one on the same
# commands, then builds the ZIP archive and checks what it holds.
#
# Usage: .ci/windows.sh [build-dir]      (default build-win)
#
# The parity check needs the Linux console and test server: BRENNIC_LINUX_BUILD names their
# build directory (default build), and they are built there when missing. Wine runs headless
# in a prefix of its own inside the build directory (never ~/.wine), with one persistent
# wineserver for all the programs of the stage, stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
BRENNIC_WINDOWS_SETUP=1 bash .ci/setup.sh

build=${1:-build-win}
linux_build=${BRENNIC_LINUX_BUILD:-build}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
mkdir -p "$build"
build=$(cd "$build" && pwd)

# Every wine program of the stage, test discovery during the build included, runs in this
# prefix and without wine's debug channels.
export WINEDEBUG=-all
export WINEPREFIX=$build/wineprefix

stage_start=$SECONDS
step_start=$SECONDS
step_done() {
    echo "-- $1: $((SECONDS - step_start)) s"
    step_start=$SECONDS
}

wineserver_up=0
stop_wineserver() {
    if [ "$wineserver_up" = 1 ]; then
        wineserver -k 2>/dev/null || true
        wineserver_up=0
    fi
}
trap stop_wineserver EXIT
trap 'exit 130' INT TERM

# A new prefix is made once (about 15 s) and kept with the build directory. wineboot
# returns once the prefix is written; waiting for its server to end keeps the persistent one
# started next from meeting it.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "windows: creating the wine prefix $WINEPREFIX"
    if ! timeout 300 wineboot -i </dev/null >"$build/wineboot.log" 2>&1; then
        cat "$build/wineboot.log"
        echo "windows: wineboot failed" >&2
        exit 1
    fi
    timeout 120 wineserver -w
fi
# One server for the whole stage spares each wine program the start of its own. Status 2
# means one is already running for this prefix, which serves as well and is stopped too.
# The server gets no standard stream of this script, which a pipe reading the stage's output
# would otherwise wait on until the server ends.
wineserver_up=1
if timeout 60 wineserver -p </dev/null >"$build/wineserver.log" 2>&1; then
    :
else
    status=$?
    if [ "$status" -ne 2 ]; then
        cat "$build/wineserver.log"
        echo "windows: wineserver -p failed with status $status" >&2
        exit 1
    fi
fi
# The first program of a server starts wine's system processes (services.exe, winedevice.exe
# and others), which live as long as the server and keep the standard streams of that
# program. Started here with none, so that no later program leaves its pipe open behind it:
# test discovery in the build reads each test program's output to its end.
if ! timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1; then
    echo "windows: wine cannot run a program in $WINEPREFIX" >&2
    exit 1
fi
step_done "wine prefix and server"

# GoogleTest built for Windows from Debian's sources, with the same toolchain and static
# runtime as the tests that link it, installed into the build directory.
gtest_prefix=$build/googletest/install
gtest_config=$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake
if [ ! -f "$gtest_config" ]; then
    echo "windows: cross-building GoogleTest into $gtest_prefix"
    mkdir -p "$build/googletest"
    cmake -S /usr/src/googletest -B "$build/googletest/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
        -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >"$build/googletest/configure.log" 2>&1 ||
        { cat "$build/googletest/configure.log"; exit 1; }
    ninja -C "$build/googletest/build" -j2 install >"$build/googletest/build.log" 2>&1 ||
        { tail -n 50 "$build/googletest/build.log"; exit 1; }
    step_done "GoogleTest cross build"
fi

# The toolchain file looks for packages under the MinGW root only; GTest_DIR points
# straight at the cross-built one.
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBRENNIC_WERROR=ON \
    -DGTest_DIR="$(dirname "$gtest_config")"
ninja -C "$build" -j2
step_done "cross build"

ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
step_done "tests under wine"

if [ ! -x "$linux_build/bin/brennic" ] || [ ! -x "$linux_build/bin/brennic-testserver" ]; then
    echo "windows: building the Linux console and test server in $linux_build"
    cmake -S . -B "$linux_build" -G Ninja -DBRENNIC_WERROR=ON
    ninja -C "$linux_build" -j2 brennic_console brennic-testserver
fi
bash .ci/windows_parity.sh "$linux_build" "$build"
step_done "console parity with Linux"

rm -rf "$build/dist"
cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$build/dist"
bash .ci/windows_archive_check.sh "$build"
step_done "ZIP archive"

stop_wineserver
echo "windows: stage passed in $((SECONDS - stage_start)) s"
