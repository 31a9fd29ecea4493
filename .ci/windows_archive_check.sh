#!/usr/bin/env bash
# shellcheck disable=SC2317 # check functions are called through check()
# Checks the Windows ZIP archive that `cpack -G ZIP` made in <windows-build-dir>/dist.
#
# Usage: .ci/windows_archive_check.sh <windows-build-dir>
#
# The archive must be brennic-<version>-win64.zip with everything under one folder of that
# name: the console, the DLL and its import library, the header, the CMake package, the man
# pages as text, the examples, and the test server when the build made one; nothing of the
# POSIX build (pkg-config file, PAM module, man sources) and no test program. The programs
# must need no MinGW runtime DLL. From the unpacked archive the console runs under wine, and
# the C example builds with the cross compiler through find_package(brennic) and runs.
# Wine runs with WINEDEBUG and WINEPREFIX as exported (by .ci/windows.sh), or else quiet and
# in <windows-build-dir>/wineprefix. Prints one line per check and "N passed, N failed".
set -uo pipefail

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 <windows-build-dir>" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
work=$(mktemp -d /tmp/brennic-winzip.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 3' HUP INT TERM

passed=0
failed=0
check() {
    local desc=$1
    shift
    if "$@" >"$work/last.out" 2>&1; then
        echo "ok   $desc"
        passed=$((passed + 1))
    else
        echo "FAIL $desc"
        tail -n 25 "$work/last.out" | sed 's/^/     | /'
        failed=$((failed + 1))
    fi
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
name=brennic-$version-win64
zip=$build/dist/$name.zip
top=$work/unpacked/$name

echo "== Windows archive check of $zip"
unpacked() {
    [ -n "$version" ] || { echo "no package version in $build/CPackConfig.cmake"; return 1; }
    [ -f "$zip" ] || { echo "missing: $zip"; ls "$build/dist"; return 1; }
    mkdir -p "$work/unpacked"
    (cd "$work/unpacked" && cmake -E tar xf "$zip") || return 1
    # One folder at the top, named as the archive.
    local tops
    tops=$(ls -A "$work/unpacked")
    [ "$tops" = "$name" ] || { echo "top level holds: $tops"; return 1; }
}
check "$name.zip unpacks into one folder $name/" unpacked

holds_files() {
    local f missing=0
    local want=(bin/brennic.exe bin/brennic.dll lib/libbrennic.dll.a include/brennic.h
        lib/cmake/brennic/brennicConfig.cmake lib/cmake/brennic/brennicConfigVersion.cmake
        lib/cmake/brennic/brennicTargets.cmake
        share/doc/brennic/brennic.1.txt share/doc/brennic/brennic.3.txt
        share/doc/brennic/examples/async_check.c share/doc/brennic/examples/CMakeLists.txt
        share/doc/brennic/examples/Makefile share/doc/brennic/examples/check_users.sh)
    [ -f "$build/bin/brennic-testserver.exe" ] && want+=(bin/brennic-testserver.exe)
    for f in "${want[@]}"; do
        [ -s "$top/$f" ] || { echo "missing or empty: $f"; missing=1; }
    done
    return "$missing"
}
check "console, DLL, import library, header, CMake package, man pages, examples" holds_files

holds_nothing_else() {
    local stray
    stray=$(cd "$top" && find . -type f | sed 's|^\./||' |
        grep -E '\.pc$|pam_|/man[0-9]/|\.[0-9]$|_test(s)?\.exe$|\.so(\.|$)|bench|fuzz')
    [ -z "$stray" ] || { echo "not for this archive:"; echo "$stray"; return 1; }
}
check "no pkg-config file, PAM module, man sources or test programs" holds_nothing_else

# The runtimes are linked in: each program and the DLL import system DLLs and brennic.dll only.
no_mingw_runtime() {
    local f bad=0 dlls
    for f in "$top"/bin/*.exe "$top"/bin/*.dll; do
        dlls=$(x86_64-w64-mingw32-objdump -p "$f" | sed -n 's/^\tDLL Name: //p')
        [ -n "$dlls" ] || { echo "no imports read from $f"; bad=1; }
        if printf '%s\n' "$dlls" | grep -Eiq 'libstdc|libgcc|libwinpthread|libssp'; then
            echo "$(basename "$f") needs a MinGW runtime DLL:"
            printf '%s\n' "$dlls" | sed 's/^/  /'
            bad=1
        fi
    done
    return "$bad"
}
check "the programs and the DLL need no MinGW runtime DLL" no_mingw_runtime

man_text() {
    local page
    for page in brennic.1 brennic.3; do
        local f=$top/share/doc/brennic/$page.txt
        grep -q '^NAME'$'\r''$' "$f" || { echo "$page.txt has no NAME heading"; return 1; }
        # Plain ASCII, every line ending in CR LF, no overstriking left by the renderer.
        if LC_ALL=C grep -q '[^[:print:][:space:]]' "$f"; then
            echo "$page.txt holds bytes other than printable ASCII"
            return 1
        fi
        [ "$(grep -c $'\r$' "$f")" -eq "$(wc -l <"$f")" ] ||
            { echo "$page.txt has lines without CR LF"; return 1; }
    done
}
check "man pages are plain ASCII text with CR LF line ends" man_text

version_line() {
    local out
    out=$(cd "$work" && timeout 60 wine "$top/bin/brennic.exe" -version) || return 1
    [ "$out" = $'+OK brennic version 1.2a\r' ] || { echo "got: $out" | cat -A; return 1; }
}
check "the unpacked console runs under wine and prints its version" version_line

# The example from the archive, built as a user would: the cross compiler, the toolchain
# file and find_package(brennic CONFIG) pointed at the unpacked folder.
example_builds() {
    timeout 300 cmake -S "$top/share/doc/brennic/examples" -B "$work/ex" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -Dbrennic_DIR="$top/lib/cmake/brennic" -DCMAKE_C_FLAGS=-Werror &&
        timeout 300 cmake --build "$work/ex" && [ -f "$work/ex/async_check.exe" ]
}
check "the example builds against the archive through find_package(brennic CONFIG)" example_builds

# Port 1 on the loopback has no listener: the request comes back as a link failure, through
# the archive's DLL beside the program.
example_runs() {
    cp "$top/bin/brennic.dll" "$work/ex/" || return 1
    local status=0
    timeout 60 wine "$work/ex/async_check.exe" -host 127.0.0.1:1 -polls 20 -sleep 50 \
        alice pw1 >"$work/ex.out" 2>&1 || status=$?
    [ "$status" -eq 2 ] || { echo "exit status $status, expected 2"; cat "$work/ex.out"; return 1; }
    grep -qF 'summary: 1 requests, 0 accepted, 0 rejected, 1 unreachable, 0 unanswered' \
        "$work/ex.out" || { cat "$work/ex.out"; return 1; }
}
check "the example runs under wine with the archive's DLL and reports the unreachable server" \
    example_runs

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
