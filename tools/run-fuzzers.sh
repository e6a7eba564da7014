#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz/ for a bounded time on its seed corpus
# (fuzz/corpus/<target>/), in a scratch copy so the committed seeds stay as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
found=0
for target in build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  work=$(mktemp -d)
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/"; fi
  echo "-- $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" \
    > "build-fuzz/$name.log" 2>&1 || { tail -n 60 "build-fuzz/$name.log"; rm -rf "$work"; exit 1; }
  grep -E '^(Done|stat::number_of_executed_units)' "build-fuzz/$name.log" || true
  rm -rf "$work"
done
[ "$found" -eq 1 ] || echo "no fuzz targets built"
