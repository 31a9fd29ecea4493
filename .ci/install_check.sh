#!/usr/bin/env bash
# shellcheck disable=SC2317 # check functions are called through check()
# Checks what an installed brennic gives its users. Usage: .ci/install_check.sh <build-dir>
#
# Installs the build into a temporary prefix; checks the program, the library (soname,
# exported names), the header, the CMake and pkg-config packages and the man pages; builds
# the C example out of tree through find_package and through pkg-config and runs it, with
# check_users.sh, against an unreachable server and against the test directory server on
# 127.0.0.1; then builds the Debian package and checks its contents. Every command is
# bounded in time, every process started is stopped, and the temporary files are removed.
# Prints one line per check and "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/brennic-install.XXXXXX")
prefix=$work/prefix
server_pid=""
refusing_pid=""

cleanup() {
    for pid in $server_pid $refusing_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' HUP INT TERM

passed=0
failed=0
# check DESCRIPTION COMMAND...: runs the command, output kept for the report on failure.
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
finish() {
    echo "$passed passed, $failed failed"
    if [ "$failed" -eq 0 ]; then exit 0; fi
    exit 1
}

# Output checks: the file holds the fixed text (grep -F) or equals the text exactly.
has() { grep -qF -- "$2" "$1" || { echo "missing in $1: $2"; cat "$1"; return 1; }; }
count_of() { grep -cF -- "$2" "$1"; }
equals() {
    [ "$(cat "$1")" = "$2" ] || { echo "expected: $2"; echo "got:"; cat "$1"; return 1; }
}
# runs COMMAND with stdout to FILE and succeeds when it exits with STATUS.
exits_with() {
    local want=$1 out=$2
    shift 2
    "$@" >"$out" 2>"$out.err"
    local got=$?
    [ "$got" -eq "$want" ] || { echo "exit status $got, expected $want"; cat "$out" "$out.err"; return 1; }
}

echo "== install check of $build into $prefix"
check "build is up to date" timeout 1200 cmake --build "$build" -j 2
check "cmake --install into a temporary prefix" \
    timeout 120 cmake --install "$build" --prefix "$prefix"

libfile=$(find "$prefix" -name 'libbrennic.so.1' 2>/dev/null | head -n 1)
libdir=$(dirname "${libfile:-$prefix/lib/none}")
mandir=$prefix/share/man
examples=$prefix/share/doc/brennic/examples

# --- installed files -----------------------------------------------------------------------
installed_files() {
    local f missing=0
    for f in bin/brennic include/brennic.h share/man/man1/brennic.1 share/man/man3/brennic.3 \
        share/doc/brennic/examples/async_check.c share/doc/brennic/examples/CMakeLists.txt \
        share/doc/brennic/examples/Makefile share/doc/brennic/examples/check_users.sh; do
        [ -e "$prefix/$f" ] || { echo "missing: $f"; missing=1; }
    done
    for f in libbrennic.so libbrennic.so.1 libbrennic.so.1.3.0 pkgconfig/brennic.pc \
        cmake/brennic/brennicConfig.cmake cmake/brennic/brennicConfigVersion.cmake \
        cmake/brennic/brennicTargets.cmake; do
        [ -e "$libdir/$f" ] || { echo "missing: $libdir/$f"; missing=1; }
    done
    [ -x "$prefix/bin/brennic" ] || { echo "bin/brennic is not executable"; missing=1; }
    return "$missing"
}
check "program, library, header, package files, man pages and examples installed" \
    installed_files

soname_is_v1() {
    objdump -p "$libdir/libbrennic.so.1.3.0" | grep -E '^ *SONAME +libbrennic\.so\.1$'
}
check "library soname is libbrennic.so.1" soname_is_v1

# The library's own internals are hidden: every exported function is a brennic_ one, and
# all eleven of the interface are there.
exports_only_interface() {
    local names
    names=$(nm -D --defined-only "$libdir/libbrennic.so.1" | awk '$2 ~ /^[TtWi]$/ {print $3}')
    local stray
    stray=$(printf '%s\n' "$names" | grep -v '^brennic_' | grep -v '^_init$' | grep -v '^_fini$')
    [ -z "$stray" ] || { echo "exported beyond the interface:"; echo "$stray" | head -20; return 1; }
    local fn
    for fn in init close new free check lookup set mod del search poll; do
        printf '%s\n' "$names" | grep -qx "brennic_$fn" || { echo "not exported: brennic_$fn"; return 1; }
    done
}
check "library exports exactly the brennic_ interface" exports_only_interface

header_compiles() {
    printf '#include <brennic.h>\nint main(void) { brennic_result *r = 0; return brennic_free(&r); }\n' \
        >"$work/hdr.c"
    cp "$work/hdr.c" "$work/hdr.cc"
    timeout 60 cc -std=c99 -Wall -Wextra -Wpedantic -Werror -c -I"$prefix/include" \
        -o "$work/hdr_c.o" "$work/hdr.c" &&
        timeout 60 c++ -std=c++11 -Wall -Wextra -Wpedantic -Werror -c -I"$prefix/include" \
            -o "$work/hdr_cc.o" "$work/hdr.cc"
}
check "installed header compiles on its own as C99 and as C++11" header_compiles

# The program finds its library through its run path, without LD_LIBRARY_PATH.
check "installed brennic -version" exits_with 0 "$work/version.out" \
    env -u LD_LIBRARY_PATH timeout 10 "$prefix/bin/brennic" -version
check "  prints the version line" equals "$work/version.out" "+OK brennic version 1.2a"
check "installed brennic -help" exits_with 0 "$work/help.out" \
    env -u LD_LIBRARY_PATH timeout 10 "$prefix/bin/brennic" -help
check "  prints the usage line" equals "$work/help.out" \
    "Usage: brennic [-host 127.0.0.1] [-secret codestring] [-debug] [-dolog]"

# --- man pages -------------------------------------------------------------------------------
renders_clean() {
    local page=$1
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 timeout 30 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >"$work/man.out" 2>"$work/man.err" || return 1
    [ ! -s "$work/man.err" ] || { cat "$work/man.err"; return 1; }
    [ -s "$work/man.out" ] || { echo "empty output"; return 1; }
    timeout 30 groff -ww -man -z "$page" 2>"$work/groff.err"
    [ ! -s "$work/groff.err" ] || { cat "$work/groff.err"; return 1; }
}
check "man page brennic(1) renders without warnings" renders_clean "$mandir/man1/brennic.1"
check "man page brennic(3) renders without warnings" renders_clean "$mandir/man3/brennic.3"
found_by_manpath() {
    MANPATH=$mandir timeout 10 man -w 1 brennic | grep -qx "$mandir/man1/brennic.1" &&
        MANPATH=$mandir timeout 10 man -w 3 brennic | grep -qx "$mandir/man3/brennic.3"
}
check "man finds both pages under the prefix" found_by_manpath

# --- CMake package ---------------------------------------------------------------------------
check "example builds out of tree through find_package(brennic CONFIG)" \
    timeout 300 bash -c "cmake -S '$examples' -B '$work/ex-cmake' -DCMAKE_PREFIX_PATH='$prefix' \
        -DCMAKE_C_FLAGS=-Werror >/dev/null && cmake --build '$work/ex-cmake'"

# A project asking for another major version must be turned away by the version file.
version_rule() {
    local v=$1 dir=$work/ver-$1
    mkdir -p "$dir"
    printf 'cmake_minimum_required(VERSION 3.16)\nproject(v LANGUAGES C)\nfind_package(brennic %s CONFIG REQUIRED)\n' \
        "$v" >"$dir/CMakeLists.txt"
    timeout 120 cmake -S "$dir" -B "$dir/b" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1
}
check "find_package(brennic 1.0) is accepted" version_rule 1.0
version_refused() { ! version_rule "$1"; }
check "find_package(brennic 2.0) is refused" version_refused 2.0

# --- pkg-config ------------------------------------------------------------------------------
export PKG_CONFIG_PATH="$libdir/pkgconfig"
check "pkg-config reports version 1.3.0" \
    bash -c "[ \"\$(pkg-config --modversion brennic)\" = 1.3.0 ]"
check "brennic.pc names the installed prefix" \
    bash -c "[ \"\$(pkg-config --variable=prefix brennic)\" = '$prefix' ] &&
             [ \"\$(pkg-config --variable=libdir brennic)\" = '$libdir' ]"
mkdir -p "$work/ex-make"
cp "$examples/async_check.c" "$examples/Makefile" "$work/ex-make/"
check "example builds through pkg-config (Makefile)" \
    timeout 300 make -C "$work/ex-make" CFLAGS="-O2 -Werror"

# --- running the examples ------------------------------------------------------------------
# Port 1 on the loopback has no listener: every request comes back as a link failure.
unreachable_example() {
    local prog=$1 out=$work/unreach.$RANDOM
    exits_with 2 "$out" env -u LD_LIBRARY_PATH timeout 60 "$prog" -host 127.0.0.1:1 \
        -polls 20 -sleep 50 alice pw1 bob pw2 || return 1
    [ "$(count_of "$out" "server unreachable (-ERR brenniclib failed while talking to brennic server)")" -eq 2 ] ||
        { echo "expected two unreachable lines"; cat "$out"; return 1; }
    has "$out" "summary: 2 requests, 0 accepted, 0 rejected, 2 unreachable, 0 unanswered" &&
        has "$out" "the brennic server could not be reached (127.0.0.1:1)"
}
check "find_package build reports an unreachable server" unreachable_example "$work/ex-cmake/async_check"
check "pkg-config build reports an unreachable server" unreachable_example "$work/ex-make/async_check"

users_unreachable() {
    printf 'alice pw1\nbob pw2\n' >"$work/users-down.txt"
    BRENNIC=$prefix/bin/brennic exits_with 2 "$work/cu-down.out" timeout 60 \
        "$examples/check_users.sh" -host 127.0.0.1:1 -t 50 "$work/users-down.txt" || return 1
    has "$work/cu-down.out" "checked 2 users: 2 replies, 2 failed" &&
        has "$work/cu-down.out" "the brennic server could not be reached (2 -DEAD replies)" &&
        has "$work/cu-down.out" "FAILED: -DEAD alice -ERR brenniclib failed while talking to brennic server"
}
check "check_users.sh reports an unreachable server" users_unreachable
check "check_users.sh refuses a time limit of 0, which timeout(1) reads as none" \
    exits_with 64 "$work/cu-t0.out" "$examples/check_users.sh" -t 0 "$work/users-down.txt"

server=$prefix/bin/brennic-testserver
[ -x "$server" ] || server=$build/bin/brennic-testserver
# start_server DIR [OPTION...]: a test server with the users and secret of $work/server and
# the options given, its port file and output in DIR; sets started_pid, and started_port
# once the port is known (empty when it never was).
start_server() {
    local dir=$1
    shift
    mkdir -p "$dir"
    timeout 120 "$server" --port 0 --port-file "$dir/port" --users "$work/server/users" \
        --secret "$work/server/secret" --max-seconds 100 --quiet "$@" >"$dir/out" 2>&1 &
    started_pid=$!
    for _ in $(seq 100); do
        [ -s "$dir/port" ] && break
        sleep 0.1
    done
    started_port=$(tr -dc '0-9' <"$dir/port" 2>/dev/null)
}

if [ -x "$server" ]; then
    mkdir -p "$work/server"
    printf 'k3y-%s-install-check\n' "$$" >"$work/server/secret"
    chmod 600 "$work/server/secret"
    printf 'alice wonderland mail="alice@example.com"\ncarol looking-glass\n' >"$work/server/users"
    start_server "$work/server"
    server_pid=$started_pid
    port=$started_port
    check "test server started on 127.0.0.1" test -n "$port"
    if [ -n "$port" ]; then
        served_example() {
            local out=$work/served.$RANDOM
            exits_with 1 "$out" env -u LD_LIBRARY_PATH timeout 60 "$1" -host "127.0.0.1:$port" \
                -secret "$work/server/secret" -polls 200 -sleep 20 \
                alice wonderland bob nopass carol wrong || return 1
            has "$out" "check alice: accepted (+OK alice" &&
                has "$out" "check bob: rejected (-ERR bob" &&
                has "$out" "check carol: rejected (-ERR carol" &&
                has "$out" "summary: 3 requests, 1 accepted, 2 rejected, 0 unreachable, 0 unanswered"
        }
        check "find_package build checks three users asynchronously" served_example "$work/ex-cmake/async_check"
        check "pkg-config build checks three users asynchronously" served_example "$work/ex-make/async_check"

        # More users than -polls: only polls that find nothing count against it.
        many_served() {
            local out=$work/many.$RANDOM i
            local pairs=()
            for ((i = 0; i < 60; i++)); do pairs+=(alice wonderland); done
            exits_with 0 "$out" env -u LD_LIBRARY_PATH timeout 60 "$work/ex-cmake/async_check" \
                -host "127.0.0.1:$port" -secret "$work/server/secret" -polls 50 -sleep 20 \
                "${pairs[@]}" || return 1
            has "$out" "summary: 60 requests, 60 accepted, 0 rejected, 0 unreachable, 0 unanswered"
        }
        check "the asynchronous example collects more answers than its poll limit" many_served

        users_served() {
            printf '# list\nalice wonderland\r\n\nbob nopass\ncarol looking-glass\n' >"$work/users-up.txt"
            BRENNIC=$prefix/bin/brennic exits_with 1 "$work/cu-up.out" timeout 90 \
                "$examples/check_users.sh" -host "127.0.0.1:$port" -secret "$work/server/secret" \
                -t 80 "$work/users-up.txt" || return 1
            has "$work/cu-up.out" "checked 3 users: 3 replies, 1 failed" &&
                has "$work/cu-up.out" "FAILED: -ERR bob" &&
                ! grep -q "could not be reached" "$work/cu-up.out"
        }
        check "check_users.sh counts one failure among three users" users_served

        # A first server that refuses the handshake prints a -DEAD Failed line at start-up,
        # before any command: the script must not count it as a reply.
        start_server "$work/refusing" --refuse-handshake
        refusing_pid=$started_pid
        refusing_port=$started_port
        users_past_refusal() {
            [ -n "$refusing_port" ] || return 1
            BRENNIC=$prefix/bin/brennic exits_with 1 "$work/cu-refused.out" timeout 90 \
                "$examples/check_users.sh" -host "127.0.0.1:$refusing_port,127.0.0.1:$port" \
                -secret "$work/server/secret" -t 80 "$work/users-up.txt" || return 1
            has "$work/cu-refused.out" "checked 3 users: 3 replies, 1 failed" &&
                ! grep -q "could not be reached" "$work/cu-refused.out"
        }
        check "check_users.sh skips the start-up line of a refused handshake" users_past_refusal
        kill "$refusing_pid" 2>/dev/null
        wait "$refusing_pid" 2>/dev/null
        refusing_pid=""
    fi
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=""
else
    echo "skip test server runs: no brennic-testserver built"
fi

# --- Debian package --------------------------------------------------------------------------
deb_dir=$work/deb
check "cpack -G DEB builds the package" \
    timeout 600 cpack -G DEB --config "$build/CPackConfig.cmake" -B "$deb_dir"
deb=$(find "$deb_dir" -maxdepth 1 -name 'brennic_*.deb' | head -n 1)
deb_contents() {
    [ -n "$deb" ] || { echo "no .deb produced"; return 1; }
    dpkg-deb -c "$deb" | awk '{print $6}' >"$work/deb.list"
    local want missing=0
    for want in '/usr/bin/brennic$' '/usr/lib/(.*/)?libbrennic\.so\.1$' \
        '/usr/lib/(.*/)?libbrennic\.so\.1\.3\.0$' '/usr/include/brennic\.h$' \
        '/usr/share/man/man1/brennic\.1(\.gz)?$' '/usr/share/man/man3/brennic\.3(\.gz)?$' \
        '/cmake/brennic/brennicConfig\.cmake$' '/cmake/brennic/brennicConfigVersion\.cmake$' \
        '/cmake/brennic/brennicTargets\.cmake$' '/pkgconfig/brennic\.pc$' \
        '/usr/lib/(.*/)?security/pam_brennic\.so$' '/usr/share/man/man8/pam_brennic\.8(\.gz)?$'; do
        grep -Eq "$want" "$work/deb.list" || { echo "not in package: $want"; missing=1; }
    done
    return "$missing"
}
check "package lists program, library, header, man pages, CMake files, brennic.pc and the PAM module" deb_contents
deb_control() {
    [ "$(dpkg-deb -f "$deb" Package)" = brennic ] &&
        [ "$(dpkg-deb -f "$deb" Version)" = 1.3.0 ] &&
        [ -n "$(dpkg-deb -f "$deb" Maintainer)" ]
}
check "package is brennic 1.3.0 with a maintainer" deb_control
deb_pc_prefix() {
    dpkg-deb -x "$deb" "$work/deb-root" &&
        grep -qx 'prefix=/usr' "$(find "$work/deb-root" -name brennic.pc | head -n 1)"
}
check "packaged brennic.pc names /usr" deb_pc_prefix

finish
