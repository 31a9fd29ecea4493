#!/bin/sh
# check_users.sh - checks a list of users against the directory through the brennic console.
#
#   check_users.sh [-p PROGRAM] [-host LIST] [-secret FILE] [-t SECONDS] [LIST-FILE]
#
# LIST-FILE (standard input when absent or "-") holds one "user password" pair per line;
# empty lines and lines starting with # are skipped, a CR before the line end is dropped.
# Every check goes to one console process through a pipe, so no password ever appears on a
# command line. The console answers each check with one line: "+OK ..." when the user was
# accepted, "-ERR ..." when not, and "-DEAD ..." when no server could be reached. A line
# "-DEAD Failed ..." that a server refusing the link handshake causes (at start-up, before
# any command, or ahead of a reply) answers no check: it is reported, not counted.
#
# Prints each failed reply, then a summary. Exit status: 0 all accepted, 1 some failed,
# 2 the server could not be reached or the console did not finish, 64 usage error.
# PROGRAM defaults to $BRENNIC, else "brennic" on the PATH; -t SECONDS (1 or more) bounds
# the whole run.

set -u

program=${BRENNIC:-brennic}
limit=""
list="-"
host_set=0 host_value=""
secret_set=0 secret_value=""
need_value() {
    [ "$1" -ge 2 ] || { echo "check_users: $2 needs a value" >&2; exit 64; }
}
while [ $# -gt 0 ]; do
    case $1 in
    -p) need_value $# "$1"; program=$2; shift 2 ;;
    -host) need_value $# "$1"; host_set=1; host_value=$2; shift 2 ;;
    -secret) need_value $# "$1"; secret_set=1; secret_value=$2; shift 2 ;;
    -t)
        need_value $# "$1"
        case $2 in
        ''|*[!0-9]*) echo "check_users: -t needs a number of seconds" >&2; exit 64 ;;
        esac
        # timeout(1) reads 0 as no limit at all.
        case $2 in
        *[!0]*) ;;
        *) echo "check_users: -t needs at least one second" >&2; exit 64 ;;
        esac
        limit=$2; shift 2 ;;
    -h|-help|--help) sed -n '2,18s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -?*) echo "check_users: unknown option $1" >&2; exit 64 ;;
    *)
        [ $# -eq 1 ] || { echo "check_users: one list file at most" >&2; exit 64; }
        list=$1; shift ;;
    esac
done

if [ "$list" != - ] && [ ! -r "$list" ]; then
    echo "check_users: cannot read $list" >&2
    exit 64
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/check_users.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
trap 'exit 2' HUP INT TERM

# The command lines: one "check user password" per entry. Globbing is off while a line is
# split into words, so a password such as * stays itself.
set -f
cr=$(printf '\r')
count=0
if [ "$list" = - ]; then exec 3<&0; else exec 3<"$list"; fi
while IFS= read -r line <&3 || [ -n "$line" ]; do
    line=${line%"$cr"}
    # shellcheck disable=SC2086 # split into words on purpose
    set -- $line
    [ $# -gt 0 ] || continue
    case $1 in \#*) continue ;; esac
    if [ $# -gt 2 ]; then
        echo "check_users: $1: a password cannot hold a space; only its first word is sent" >&2
    fi
    printf 'check %s %s\n' "$1" "${2:-}" >>"$work/commands"
    count=$((count + 1))
done
exec 3<&-
set +f

if [ "$count" -eq 0 ]; then
    echo "checked 0 users: nothing to do"
    exit 0
fi

# The console's own arguments, each kept whole.
set --
[ "$host_set" -eq 0 ] || set -- "$@" -host "$host_value"
[ "$secret_set" -eq 0 ] || set -- "$@" -secret "$secret_value"
if [ -n "$limit" ] && command -v timeout >/dev/null 2>&1; then
    set -- timeout "$limit" "$program" "$@"
else
    set -- "$program" "$@"
fi
"$@" <"$work/commands" >"$work/replies" 2>"$work/errors"
status=$?

# Every reply line except the closing "+OK exiting" counts; a line not starting with +OK is
# a failure and -DEAD means the server could not be reached. A refused handshake prints
# "-DEAD Failed " and the server's answer outside any reply; the check of a user named
# Failed on a dead link starts the same way but ends in the library's failure text.
awk -v expected="$count" -v status="$status" '
    BEGIN { link_failed = " -ERR brenniclib failed while talking to brennic server" }
    $0 == "+OK exiting" { finished = 1; next }
    index($0, "-DEAD Failed ") == 1 &&
        substr($0, length($0) - length(link_failed) + 1) != link_failed {
        print "check_users: a server refused the link handshake: " $0 > "/dev/stderr"
        next
    }
    { replies++ }
    /^\+OK/ { next }
    /^-DEAD/ { dead++ }
    { failed++; print "FAILED: " $0 }
    END {
        printf "checked %d users: %d replies, %d failed\n", expected, replies, failed
        if (dead > 0)
            printf "the brennic server could not be reached (%d -DEAD replies)\n", dead
        if (!finished)
            printf "the console did not finish (exit status %d)\n", status
        else if (replies != expected)
            printf "expected %d replies, got %d\n", expected, replies
        if (dead > 0 || !finished) exit 2
        exit (failed > 0 || replies != expected) ? 1 : 0
    }' "$work/replies"
result=$?
if [ -s "$work/errors" ]; then
    echo "console messages on standard error:" >&2
    cat "$work/errors" >&2
fi
exit $result
