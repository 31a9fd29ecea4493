#!/usr/bin/env bash
# Memcheck run of the console: COUNT commands (default 10000) against two test servers
# under valgrind. The first server resets its link half-way through, so the run also goes
# through a lost link, the retry and the failover to the second server. Fails when valgrind
# reports an error or a definite or indirect leak, or when any command is not answered.
#
# Usage: .ci/valgrind.sh <build-dir> [count]
set -euo pipefail

build=${1:?usage: .ci/valgrind.sh <build-dir> [count]}
count=${2:-10000}
build=$(cd "$build" && pwd)
console=$build/bin/brennic
server=$build/bin/brennic-testserver

if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind.sh: valgrind is not installed" >&2
  exit 1
fi
for f in "$console" "$server"; do
  [ -x "$f" ] || { echo "valgrind.sh: missing $f (build first)" >&2; exit 1; }
done
case $count in
  '' | *[!0-9]*) echo "valgrind.sh: count must be a number" >&2; exit 1 ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/brennic-valgrind-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

printf 'smith secret1 mail=smith@example.org dept=ops\njones pw2 mail=jones@example.org\n' \
  > "$work/users.txt"
printf 'valgrind run secret\n' > "$work/secret.txt"

# Starts a test server with extra arguments and sets `port` to its port. Runs in this
# shell (not in a command substitution) so that its pid reaches the cleanup.
port=0
start_server() {
  local tag=$1
  shift
  "$server" --port 0 --port-file "$work/port.$tag" --users "$work/users.txt" \
    --secret "$work/secret.txt" --quiet --max-seconds 1800 "$@" \
    > /dev/null 2> "$work/server.$tag.err" < /dev/null &
  pids+=($!)
  for _ in $(seq 1 500); do
    if [ -s "$work/port.$tag" ]; then
      port=$(cat "$work/port.$tag")
      return 0
    fi
    sleep 0.01
  done
  echo "valgrind.sh: test server $tag did not start" >&2
  return 1
}

start_server 1 --reset-at $((count / 3 + 1))
port1=$port
start_server 2 --transcript "$work/transcript.2"
port2=$port

# Ten commands in turn; search prints two lines, every other command one.
expected=0
{
  for ((i = 0; i < count; i++)); do
    n=$((i / 10))
    case $((i % 10)) in
      0) echo "check smith secret1" ;;
      1) echo "lookup smith" ;;
      2) echo "set u$n pw$n a=$n" ;;
      3) echo "mod u$n (NULL) b=$n" ;;
      4) echo "check u$n pw$n" ;;
      5) echo "search smith" ;;
      6) echo "del u$n" ;;
      7) echo "check nobody x" ;;
      8) echo "version" ;;
      9) echo "bogus$n" ;;
    esac
  done
} > "$work/commands.txt"
for ((i = 0; i < count; i++)); do
  if [ $((i % 10)) -eq 5 ]; then expected=$((expected + 2)); else expected=$((expected + 1)); fi
done
expected=$((expected + 1)) # "+OK exiting"

start=$(date +%s)
set +e
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --error-exitcode=1 --log-file="$work/valgrind.log" \
  "$console" -host "127.0.0.1:$port1,127.0.0.1:$port2" -secret "$work/secret.txt" \
  < "$work/commands.txt" > "$work/out.txt" 2> "$work/err.txt"
status=$?
set -e
seconds=$(($(date +%s) - start))

lines=$(wc -l < "$work/out.txt")
dead=$(grep -c -e '^-DEAD' -e 'no reply from brennic server' "$work/out.txt" || true)
last=$(tail -n 1 "$work/out.txt")

taken=$(grep -c ' request ' "$work/transcript.2" || true)
echo "valgrind.sh: $count commands in ${seconds}s, $lines output lines (expected $expected)," \
  "$taken requests carried by the second server after the first one's reset"
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks' \
  "$work/valgrind.log" | sed 's/^==[0-9]*== */  /'

fail=0
if [ "$status" -ne 0 ]; then
  echo "valgrind.sh: valgrind exit status $status" >&2
  sed 's/^==[0-9]*== */  /' "$work/valgrind.log" | head -n 80 >&2
  fail=1
fi
if [ "$lines" -ne "$expected" ] || [ "$last" != "+OK exiting" ]; then
  echo "valgrind.sh: unexpected output (last line: $last)" >&2
  fail=1
fi
if [ "$count" -ge 3 ] && [ "$taken" -eq 0 ]; then
  echo "valgrind.sh: the second server took no request: the failover did not happen" >&2
  fail=1
fi
if [ "$dead" -ne 0 ]; then
  echo "valgrind.sh: $dead commands were not answered by a server" >&2
  grep -n -m 5 -e '^-DEAD' -e 'no reply' "$work/out.txt" >&2 || true
  fail=1
fi
exit $fail
