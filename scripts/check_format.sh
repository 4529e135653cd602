#!/usr/bin/env bash
# Checks that every C and C++ file git knows of is formatted as .clang-format
# says. Prints the files that are not and exits non-zero; formats nothing.
#
#   scripts/check_format.sh          check
#   scripts/check_format.sh --fix    format them in place instead
set -uo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=$(clang-format --dry-run "${files[@]}" 2>&1 | grep -o '^[^:]*:[0-9]*:[0-9]*: warning' | cut -d: -f1 | sort -u)
if [ -n "$bad" ]; then
  echo "Not formatted as .clang-format says (scripts/check_format.sh --fix formats them):"
  echo "$bad" | sed 's/^/  /'
  exit 1
fi
echo "Formatting: ${#files[@]} files as .clang-format says"
