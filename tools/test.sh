#!/usr/bin/env bash
# Builds and runs the tests.
#
#   tools/test.sh          everything, as CI runs it: the layer order of the
#                          includes; the normal build (build/) and all its
#                          tests; the fuzz build (build-fuzz/) and a bounded
#                          run of each target (FUZZ_SECONDS, 60 s each); the
#                          AddressSanitizer + UndefinedBehaviorSanitizer
#                          build (build-asan/) and its tests, less the ones
#                          that only drive outside programs (labels browser,
#                          nginx, prometheus, packaging: the sanitizers see
#                          nothing there).
#   tools/test.sh --fast   the inner loop: the normal build and its tests
#                          labelled unit and e2e (tests/CMakeLists.txt).
#
# The fuzz build and run go beside the normal tests and the sanitizer build,
# at a lower priority: most tests wait on real time (timers, processes,
# browsers) and leave a core idle. Ends with the 15 slowest tests. Exits
# non-zero when any step fails, the background one too.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
fast=0
case "${1:-}" in
  --fast) fast=1 ;;
  "") ;;
  *) echo "usage: tools/test.sh [--fast]" >&2; exit 2 ;;
esac

# A tree configured by another generator than the presets' cannot be
# configured again in place: its cache goes, the objects stay.
configure() {
  local preset=$1 dir=$2
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
    echo "-- $dir was configured with another generator: configuring it again from scratch"
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
  fi
  cmake --preset "$preset"
}

# The slowest tests of the runs' JUnit files, in seconds. The list is cut by
# awk, which reads to the end: head would leave sort writing into a closed
# pipe once the list outgrows the pipe's buffer, and under pipefail that
# SIGPIPE would fail a run whose tests all passed.
slowest() {
  local file
  for file in "$@"; do
    [ -f "$file" ] || continue
    sed -n 's/.*<testcase name="\([^"]*\)".* time="\([0-9.]*\)".*/\2 \1/p' "$file" |
      awk -v tree="$(basename "$(dirname "$file")")" '{ printf "%8.2f s  %-10s %s\n", $1, tree, $2 }'
  done | sort -rn | awk 'NR <= 15'
}

junit_normal=$PWD/build/ctest-junit.xml
junit_asan=$PWD/build-asan/ctest-junit.xml

if [ "$fast" -eq 1 ]; then
  echo "== normal build"
  configure default build
  cmake --build --preset default -j "$jobs"
  echo "== unit and e2e tests"
  status=0
  ctest --preset fast -j "$jobs" --output-junit "$junit_normal" || status=$?
  echo "== the 15 slowest tests"
  slowest "$junit_normal"
  exit "$status"
fi

echo "== layer order of the includes"
tools/check-layers.sh

echo "== normal build"
configure default build
cmake --build --preset default -j "$jobs"

# The fuzz job: its own process group (so a failure elsewhere ends all of
# it), its output in a file shown at the end.
mkdir -p build-fuzz
fuzz_log=$PWD/build-fuzz/test-sh.log
set -m
(
  set -euo pipefail
  renice -n 10 -p "$BASHPID" >/dev/null || true
  echo "== fuzz build"
  configure fuzz build-fuzz
  cmake --build --preset fuzz -j "$jobs"
  echo "== fuzz targets, ${fuzz_seconds} s each"
  tools/run-fuzzers.sh "$fuzz_seconds"
) </dev/null >"$fuzz_log" 2>&1 &
fuzz_pid=$!
set +m
stop_fuzz() {
  if [ -n "${fuzz_pid:-}" ]; then kill -- "-$fuzz_pid" 2>/dev/null || true; fi
}
trap stop_fuzz EXIT
trap 'exit 130' INT TERM
echo "-- fuzz build and run in the background (pid $fuzz_pid, log $fuzz_log)"

echo "== normal tests"
ctest --preset default -j "$jobs" --output-junit "$junit_normal"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
configure asan build-asan
cmake --build --preset asan -j "$jobs"
echo "== sanitizer tests (without the labels browser, nginx, prometheus, packaging)"
ctest --preset asan -j "$jobs" --output-junit "$junit_asan"

echo "== waiting for the fuzz job"
fuzz_status=0
wait "$fuzz_pid" || fuzz_status=$?
fuzz_pid=
cat "$fuzz_log"
if [ "$fuzz_status" -ne 0 ]; then
  echo "the fuzz build or run failed (status $fuzz_status)" >&2
  exit "$fuzz_status"
fi

echo "== the 15 slowest tests"
slowest "$junit_normal" "$junit_asan"
