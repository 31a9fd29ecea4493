#!/bin/bash
# The console against the baseline with the scheduler's placement held fixed: the test server
# pinned to the last processor, and each client (a console process fed N checks from a file,
# and bench_baseline making the same N checks) pinned in turn to that processor and to the
# first one. Prints the median time per request of each client in each placement and the
# ratio of the two (baseline time over console time), so that a placement that changes from
# run to run does not blur the comparison.
#
# Usage: scripts/placement.sh [build-dir] [N] [rounds]   (a Release tree with bench_baseline)
set -euo pipefail

build=${1:-build-release}
n=${2:-10000}
rounds=${3:-7}
bin="$build/bin"
for program in brennic brennic-testserver bench_baseline; do
  [ -x "$bin/$program" ] || { echo "placement.sh: $bin/$program is missing" >&2; exit 2; }
done
cpus=$(nproc)
if [ "$cpus" -lt 2 ]; then
  echo "placement.sh: needs two processors, this machine has $cpus" >&2
  exit 2
fi
last=$((cpus - 1))

dir=$(mktemp -d "${TMPDIR:-/tmp}/brennic-placement-XXXXXX")
server=""
out=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$dir"
  case "$out" in /dev/shm/*) rm -f "$out" ;; esac
}
trap cleanup EXIT

# The console's replies go to a memory file system where there is one, as in bench_console.
out="$dir/out"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  out=$(mktemp /dev/shm/brennic-placement-XXXXXX)
fi

for ((i = 0; i < 100; i++)); do echo "u$i p$i mail=u$i@example.org"; done > "$dir/users"
echo "bench shared secret" > "$dir/secret"
for ((i = 0; i < n; i++)); do echo "check u$((i % 100)) p$((i % 100))"; done > "$dir/checks"

taskset -c "$last" "$bin/brennic-testserver" --port 0 --port-file "$dir/port" \
  --users "$dir/users" --secret "$dir/secret" --max-seconds 900 --quiet > /dev/null &
server=$!
for ((i = 0; i < 50; i++)); do
  [ -s "$dir/port" ] && break
  sleep 0.1
done
[ -s "$dir/port" ] || { echo "placement.sh: the test server did not start" >&2; exit 1; }
port=$(cat "$dir/port")

# Microseconds per request of one run; the run must give every reply right.
time_console() {
  local start end
  start=$(date +%s%N)
  taskset -c "$1" "$bin/brennic" -host "127.0.0.1:$port" -secret "$dir/secret" \
    < "$dir/checks" > "$out"
  end=$(date +%s%N)
  [ "$(grep -c ' password accepted$' "$out")" -eq "$n" ] || { echo "console failed" >&2; exit 1; }
  echo $(((end - start) / n / 1000))
}
time_baseline() {
  local start end
  start=$(date +%s%N)
  taskset -c "$1" "$bin/bench_baseline" "$port" "$dir/secret" "$n" || { echo "baseline failed" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(((end - start) / n / 1000))
}

echo "server pinned to processor $last; $n checks per run, $rounds rounds"
for ((r = 0; r < rounds; r++)); do
  for cpu in 0 "$last"; do
    echo "console $cpu $(time_console "$cpu")"
    echo "baseline $cpu $(time_baseline "$cpu")"
  done
done > "$dir/times"

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
for cpu in 0 "$last"; do
  c=$(awk -v c="$cpu" '$1 == "console" && $2 == c {print $3}' "$dir/times" | median)
  b=$(awk -v c="$cpu" '$1 == "baseline" && $2 == c {print $3}' "$dir/times" | median)
  where="the other processor"
  [ "$cpu" = "$last" ] && where="the server's processor"
  awk -v c="$c" -v b="$b" -v w="$where" \
    'BEGIN {printf "clients on %-22s console %d us/request, baseline %d us/request, ratio %.2f\n", w, c, b, b / c}'
done
