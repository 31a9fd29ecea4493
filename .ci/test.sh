#!/usr/bin/env bash
# Builds brennic and runs its whole test suite. Usage: .ci/test.sh [build-dir] [cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash .ci/setup.sh
build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja -DBRENNIC_WERROR=ON "$@"
ninja -C "$build"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
