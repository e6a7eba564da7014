#!/usr/bin/env bash
# Builds and runs every test: the normal build, a bounded run of each fuzz
# target, and the sanitizer build. Exits non-zero as soon as anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}

echo "== layer order of the includes"
tools/check-layers.sh

echo "== normal build"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== fuzz targets, ${fuzz_seconds} s each"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
tools/run-fuzzers.sh "$fuzz_seconds"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"
