#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz/ for a bounded time on its seed corpus
# (fuzz/corpus/<target>/), in a scratch copy so the committed seeds stay as
# they are. As many targets run at once as there are cores (FUZZ_JOBS), since
# each is one process on one core; the run fails if any target fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${FUZZ_JOBS:-$(nproc)}
found=0
failed=0
pids=()
names=()
works=()

# Waits for the oldest target still running and reports it.
reap() {
  local pid=${pids[0]} name=${names[0]} work=${works[0]}
  pids=("${pids[@]:1}") names=("${names[@]:1}") works=("${works[@]:1}")
  if wait "$pid"; then
    echo "-- $name for ${seconds}s"
    grep -E '^(Done|stat::number_of_executed_units)' "build-fuzz/$name.log" || true
  else
    echo "-- $name FAILED"
    tail -n 60 "build-fuzz/$name.log"
    failed=1
  fi
  rm -rf "$work"
}

for target in build-fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  work=$(mktemp -d)
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/"; fi
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" \
    > "build-fuzz/$name.log" 2>&1 &
  pids+=("$!") names+=("$name") works+=("$work")
  while [ "${#pids[@]}" -ge "$jobs" ]; do reap; done
done
while [ "${#pids[@]}" -gt 0 ]; do reap; done
[ "$found" -eq 1 ] || echo "no fuzz targets built"
exit "$failed"
