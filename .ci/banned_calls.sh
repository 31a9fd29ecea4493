#!/usr/bin/env bash
# Fails when the project's code calls an unbounded or non-reentrant C function.
set -u
cd "$(dirname "$0")/.."
hits=$(grep -rnE '(^|[^A-Za-z0-9_])(sprintf|vsprintf|strcpy|strcat|strtok|gets|ctime)[[:space:]]*\(' \
  --include='*.c' --include='*.cc' --include='*.cpp' --include='*.h' --include='*.hpp' \
  shell lib net tools tests bench fuzz examples 2>/dev/null)
if [ -n "$hits" ]; then
  echo "banned calls (use the bounded or reentrant forms):"
  echo "$hits"
  exit 1
fi
exit 0
