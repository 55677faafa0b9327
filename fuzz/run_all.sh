#!/usr/bin/env bash
# Runs every fuzz target for a while over its seed corpus (fuzz/corpus/<target>/)
# and fails on the first crash, leak, time-out or failed check.
# Usage: fuzz/run_all.sh [build dir, default build/fuzz] [seconds per target, default 30]
# The checked-in corpora stay as they are: new inputs go to a scratch folder,
# crash inputs to fuzz-crashes/<target>/ (add each one to the corpus as a
# regression case once it is fixed).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build/fuzz}"
seconds="${2:-30}"
scratch="$(mktemp -d /tmp/quelta-fuzz-run-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
status=0
for corpus in "$here"/corpus/*/; do
  target="$(basename "$corpus")"
  exe="$build/fuzz/$target"
  [ -x "$exe" ] || { echo "missing $exe" >&2; exit 1; }
  max_len=4096
  [ "$target" = fuzz_json_rows ] || [ "$target" = fuzz_json_index ] && max_len=8192
  mkdir -p "$scratch/$target" "fuzz-crashes/$target"
  echo "== $target (${seconds}s)"
  if ! "$exe" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=25 \
    -print_final_stats=1 -artifact_prefix="fuzz-crashes/$target/" "$scratch/$target" "$corpus" \
    >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "!! $target failed; inputs in fuzz-crashes/$target/" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$scratch/$target.log" | tr '\n' ' '
    grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$scratch/$target.log" | tail -n 1
  fi
  rmdir "fuzz-crashes/$target" 2>/dev/null || true
done
rmdir fuzz-crashes 2>/dev/null || true
exit $status
