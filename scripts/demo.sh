#!/usr/bin/env bash
# Builds the console and the test directory server, starts the server on a free loopback
# port with the sample users and secret, and runs the console against it. Standard input
# passes through to the console, so it works interactively or from a pipe:
#
#   scripts/demo.sh                          # type commands; quit or Ctrl-D ends
#   printf 'check smith secret1\nsearch ops\n' | scripts/demo.sh
#   scripts/demo.sh -debug                   # extra arguments go to the console
#
# BUILD_DIR chooses the build directory (default: build/ in the repository).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}

# Install only what is missing, and only on Debian-like systems.
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -e /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
if [ ${#missing[@]} -gt 0 ]; then
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "demo: please install: ${missing[*]}" >&2
        exit 1
    fi
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    echo "demo: installing ${missing[*]}" >&2
    "${sudo_cmd[@]}" apt-get update -qq >&2
    "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >&2
fi

cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" -j2 brennic_console brennic-testserver >&2

# The console keeps only the first 100 bytes of a -secret value, so the secret goes to the
# console from a copy in a short temporary directory rather than from the checkout, whose
# path may be longer. A long TMPDIR gives way to /tmp. Lengths are counted in bytes, whatever
# the locale.
secret_max=100
bytes_of() { printf %s "$1" | LC_ALL=C wc -c; }
work=$(mktemp -d "${TMPDIR:-/tmp}/brennic-demo.XXXXXX")
secret=$work/secret.txt
if [ "$(bytes_of "$secret")" -gt $secret_max ]; then
    rmdir "$work"
    work=$(mktemp -d /tmp/brennic-demo.XXXXXX)
    secret=$work/secret.txt
fi
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
if [ "$(bytes_of "$secret")" -gt $secret_max ]; then
    echo "demo: no temporary directory short enough for the secret file ($secret)" >&2
    exit 1
fi
cp "$root/samples/secret.txt" "$secret"
chmod 600 "$secret"

"$build/bin/brennic-testserver" --port 0 --port-file "$work/port" \
    --users "$root/samples/users.txt" --secret "$secret" \
    --max-seconds 3600 --quiet >/dev/null &
server_pid=$!

for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    kill -0 "$server_pid" 2>/dev/null || { echo "demo: the test server did not start" >&2; exit 1; }
    sleep 0.05
done
[ -s "$work/port" ] || { echo "demo: the test server did not report its port" >&2; exit 1; }
port=$(cat "$work/port")
echo "demo: test server on 127.0.0.1:$port; try: check smith secret1, lookup jones, search ops" >&2

"$build/bin/brennic" -host "127.0.0.1:$port" -secret "$secret" "$@"
