#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang and runs each one for a bounded time from a copy of
# its seed corpus (the corpus in the repository never grows here). Fails when any target
# crashes, leaks, times out on an input or breaks an invariant.
# Usage: .ci/fuzz.sh <build-dir> <seconds per target>
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: .ci/fuzz.sh <build-dir> <seconds>"
build=${1:?$usage}
seconds=${2:?$usage}
targets="fuzz_reader fuzz_handshake fuzz_shell fuzz_hosts fuzz_header_tokens fuzz_secret_file"

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DBRENNIC_FUZZ=ON -DBRENNIC_BENCH=OFF \
  -DBRENNIC_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
ninja -C "$build" -j2 $targets

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"
status=0
for target in $targets; do
  cp -r "fuzz/corpus/$target" "$work/$target"
  mkdir -p "$work/crash-$target"
  log="$work/$target.log"
  # libFuzzer stops itself after max_total_time; the outer limit only guards a hang.
  set +e
  timeout --kill-after=10 $((seconds + 120)) "$build/bin/$target" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/crash-$target/" "$work/$target" >"$log" 2>&1
  rc=$?
  set -e
  done_line=$(grep -E '^Done [0-9]+ runs in' "$log" | tail -1 || true)
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' | tail -1 || true)
  rate=$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}' | tail -1 || true)
  if [ "$rc" -eq 0 ]; then
    echo "$target: ok; ${done_line:-no final stats}; executions ${execs:-?}, ${rate:-?}/s"
  else
    status=1
    echo "$target: FAILED (exit $rc); executions ${execs:-?}"
    grep -E 'ERROR|runtime error|invariant broken|SUMMARY|Test unit written' "$log" | head -20 || true
    tail -n 40 "$log"
    mkdir -p "$artifacts"
    cp "$work/crash-$target"/* "$artifacts"/ 2>/dev/null || true
    echo "$target: inputs kept in $artifacts"
  fi
done
exit "$status"
