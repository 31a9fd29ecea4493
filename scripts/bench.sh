#!/usr/bin/env bash
# Builds a Release tree and runs every benchmark, printing their figures. Each figure is
# measured beside its baseline in the same run; see docs/performance.md.
#   scripts/bench.sh [build-dir] [--quick]
# The build directory defaults to build-release beside this script's repository; every
# benchmark stops the processes it starts, and the whole run is bounded by a time limit.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-release"
quick=()
for arg in "$@"; do
  case "$arg" in
    --quick) quick=(--quick) ;;
    -h|--help) sed -n '2,6p' "$0"; exit 0 ;;
    *) build="$arg" ;;
  esac
done
# Each benchmark gets at most this many seconds.
limit=300

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENNIC_TESTS=OFF >/dev/null
ninja -C "$build" -j2 bench_console bench_async bench_empty bench_baseline brennic_console brennic-testserver \
  $(ninja -C "$build" -t targets all 2>/dev/null | grep -q '^bench_keystream:' && echo bench_keystream)

bin="$build/bin"
status=0
run() {
  echo
  echo "### $*"
  timeout --kill-after=10 "$limit" "$@" || { echo "(exit status $?)"; status=1; }
}

# The keystream goal from bench_keystream's results: for 1 KiB and more, each direction's
# rate (decimal units) and its ratio to the reference of the same direction and size.
keystream_verdicts() {
  awk '
    function rate(field,   v, unit) {
      v = field; sub(/.*=/, "", v); unit = v; sub(/^[0-9.]+/, "", unit); v += 0
      if (unit ~ /^k/) v *= 1e3; else if (unit ~ /^M/) v *= 1e6; else if (unit ~ /^G/) v *= 1e9
      return v
    }
    /_(mean|stddev|cv) / { next }
    /^BM_(keystream|reference)_(add|sub)\/[0-9]+(_median)? / {
      name = $1; sub(/_median$/, "", name); r[name] = rate($NF)
    }
    END {
      print "== Keystream goal: at least 2 GB/s and 5 times the reference, 1 KiB and more =="
      split("add sub", dirs, " "); split("1024 65536 67108864", sizes, " ")
      for (d = 1; d <= 2; ++d) for (s = 1; s <= 3; ++s) {
        k = r["BM_keystream_" dirs[d] "/" sizes[s]]; ref = r["BM_reference_" dirs[d] "/" sizes[s]]
        if (k == 0 || ref == 0) { printf "  %s %s: no figure\n", dirs[d], sizes[s]; continue }
        printf "  %s %8d bytes: %5.2f GB/s, %4.1fx the reference: %s\n", dirs[d], sizes[s],
               k / 1e9, k / ref, (k >= 2e9 && k >= 5 * ref) ? "met" : "NOT met"
      }
    }' "$1"
}

echo "machine: $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg), $(uname -sr)"
if [ -x "$bin/bench_keystream" ]; then
  # Three repetitions of each case; the medians are printed, and judged against the goal.
  results=$(mktemp)
  trap 'rm -f "$results"' EXIT
  run "$bin/bench_keystream" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_out="$results" --benchmark_out_format=console
  keystream_verdicts "$results"
else
  echo; echo "### bench_keystream not built: skipped"
fi
# Also the pipelined console (-pipeline 100): against one at a time on loopback and with a
# 1 ms reply delay, against the pipelining baseline, and the peak size of a long session.
run "$bin/bench_console" "${quick[@]}"
run "$bin/bench_async" "${quick[@]}"
# A log callback registered at log level 3: collection must stay linear and meet the goal
# of 1 000 in flight (100 000 requests/s, 0.3 of the baseline).
run "$bin/bench_async" --log --log-level 3 --sizes "$([ ${#quick[@]} -gt 0 ] && echo 100,1000 || echo 1000,10000)"
# The same with a log callback registered: every diagnostic is then formatted and handed on,
# and each take-out logs one line per pending record it passes, so collection grows with the
# square of the requests in flight (10 000 is left out: it takes minutes).
run "$bin/bench_async" --log --sizes "$([ ${#quick[@]} -gt 0 ] && echo 10,100 || echo 10,100,1000)"
exit $status
