#!/usr/bin/env bash
# Fails when a C or C++ source file is not laid out as .clang-format says. The version is
# pinned: another clang-format may lay the same code out differently.
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
command -v "$format" >/dev/null || { echo "format check: $format is missing" >&2; exit 1; }
git ls-files -z '*.c' '*.cc' '*.h' | xargs -0 "$format" --dry-run --Werror
echo "format check: every source file is formatted"
