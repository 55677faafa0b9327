#!/usr/bin/env bash
# Runs the API tests (the suites of tests/api/) under valgrind's memcheck:
# any invalid access, use of uninitialised memory or leak fails the run.
# Usage: tests/valgrind.sh <build dir holding tests/quelta_tests>
# The largest hostile inputs (HostileLarge) and the 100 MiB-class cases are
# left out; they run in every other preset.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?build dir}"
suites=$(grep -ho '^TEST[_FP]*([A-Za-z0-9_]*' "$here"/api/*.cpp | sed 's/.*(//' | sort -u |
  grep -v '^HostileInput$' | sed 's/$/.*/' | paste -sd: -)
filter="${suites}:HostileSmall/*:-*million_commas_as_header*"
exec valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
  --error-exitcode=1 --track-fds=no --quiet \
  "$build/tests/quelta_tests" --gtest_filter="$filter" --gtest_brief=1
