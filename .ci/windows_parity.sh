#!/usr/bin/env bash
# Feeds one script of console commands to the Linux console and, under wine, to the Windows
# console, each against a fresh native Linux test server on 127.0.0.1, and compares what
# they print. The outputs must be equal once the CR before each LF is removed, and every
# line of the Windows output must end in CR LF (its standard output is in text mode).
#
# Usage: .ci/windows_parity.sh <linux-build-dir> <windows-build-dir>
#
# Wine runs with WINEDEBUG and WINEPREFIX as exported (by .ci/windows.sh), or else quiet and
# in <windows-build-dir>/wineprefix. Every run is bounded in time; the servers are stopped
# and the temporary files removed on exit.
set -uo pipefail

if [ $# -ne 2 ] || [ ! -d "$1" ] || [ ! -d "$2" ]; then
    echo "usage: $0 <linux-build-dir> <windows-build-dir>" >&2
    exit 2
fi
linux=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-$win/wineprefix}

server=$linux/bin/brennic-testserver
for f in "$server" "$linux/bin/brennic" "$win/bin/brennic.exe"; do
    [ -f "$f" ] || { echo "parity: missing $f" >&2; exit 2; }
done

work=$(mktemp -d /tmp/brennic-parity.XXXXXX)
server_pid=""
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
        server_pid=""
    fi
}
cleanup() {
    stop_server
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 3' HUP INT TERM

# The secret file is named by the same Unix path on both sides: wine starts the Windows
# console in a folder of its Z: drive, which is the Unix root, so /tmp/... resolves there.
secret=$work/secret
printf 'parity-%s-secret\n' "$$" >"$secret"
chmod 600 "$secret"
users=$work/users
printf '%s\n' 'smith secret1 mail=smith@example.org dept=ops' \
    'jones pw2 mail=jones@example.org dept=dev' \
    'brown brownie mail=brown@example.org dept=ops phone=555-0100' >"$users"

# Every command of the console, with a refusal of each kind: good and bad password, a
# missing user, records created, replaced, modified and deleted (and looked up after each
# change), searches with and without hits, help, version, an invalid command, and a line
# after quit that is never read.
cat >"$work/commands" <<'EOF'
check smith secret1
check smith wrong
check nobody secret1
lookup jones
lookup nobody
set walker pw9 mail=walker@example.org dept=ops
set walker pw10 dept=lab
check walker pw10
mod walker (NULL) room=12
lookup walker
mod nobody pw1 dept=x
del jones
del jones
lookup jones
search OPS
search nothing-matches-this
help
version
frobnicate smith
CHECK brown brownie
quit
check smith secret1
EOF

# run_console NAME PROGRAM...: a fresh server, then the commands into the console; its
# standard output, standard error and exit status land in $work/NAME.{out,err,status}.
run_console() {
    local name=$1
    shift
    rm -f "$work/port"
    timeout 120 "$server" --port 0 --port-file "$work/port" --users "$users" \
        --secret "$secret" --max-seconds 100 --quiet >"$work/$name.server" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/port" ] && break
        sleep 0.1
    done
    local port
    port=$(tr -dc '0-9' <"$work/port" 2>/dev/null)
    if [ -z "$port" ]; then
        echo "parity: the test server did not report its port" >&2
        cat "$work/$name.server" >&2
        return 1
    fi
    timeout 60 "$@" -host "127.0.0.1:$port" -secret "$secret" <"$work/commands" \
        >"$work/$name.out" 2>"$work/$name.err"
    echo $? >"$work/$name.status"
    stop_server
}

failed=0
fail() {
    echo "parity: FAIL $*"
    failed=1
}

run_console linux "$linux/bin/brennic" || exit 1
run_console windows wine "$win/bin/brennic.exe" || exit 1

# The Linux output has no CR; the Windows one has CR LF at the end of every line and no
# other CR, and ends with a line end.
tr -d '\r' <"$work/windows.out" >"$work/windows.lf"
if grep -q $'\r' "$work/linux.out"; then
    fail "the Linux output holds a CR"
fi
lines=$(wc -l <"$work/windows.out")
crlf=$(grep -c $'\r$' "$work/windows.out")
crs=$(tr -cd '\r' <"$work/windows.out" | wc -c)
if [ "$lines" -eq 0 ] || [ "$crlf" -ne "$lines" ] || [ "$crs" -ne "$lines" ]; then
    fail "Windows lines must end in CR LF: $lines lines, $crlf end in CR LF, $crs CR in all"
fi
if [ -s "$work/windows.out" ] && [ "$(tail -c 1 "$work/windows.out" | od -An -c | tr -d ' ')" != '\n' ]; then
    fail "the Windows output does not end with a line end"
fi
if ! cmp -s "$work/linux.out" "$work/windows.lf"; then
    fail "the outputs differ (< Linux, > Windows without CR):"
    diff "$work/linux.out" "$work/windows.lf" | head -n 40
fi
if [ "$(cat "$work/linux.status")" != "$(cat "$work/windows.status")" ]; then
    fail "exit status $(cat "$work/linux.status") on Linux, $(cat "$work/windows.status") on Windows"
fi
if [ "$(cat "$work/linux.status")" != 0 ]; then
    fail "the console exited with status $(cat "$work/linux.status")"
fi
# Replies that need a served session, so two consoles that both failed to reach the server,
# or both stopped early, cannot pass.
for want in '+OK smith password accepted' '+OK walker modified' '+OK jones deleted' \
    '+OK search 2 found' '+DATA Valid commands' '-ERR Invalid command' '+OK exiting'; do
    grep -qF -- "$want" "$work/linux.out" || fail "the Linux output lacks \"$want\""
done

if [ "$failed" -ne 0 ]; then
    for name in linux windows; do
        echo "-- $name output (status $(cat "$work/$name.status")):"
        cat -A "$work/$name.out" | head -n 60
        [ -s "$work/$name.err" ] && { echo "-- $name standard error:"; head -n 20 "$work/$name.err"; }
    done
    exit 1
fi
echo "parity: $lines lines, the same on Linux and Windows; Windows lines end in CR LF"
