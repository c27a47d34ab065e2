#!/usr/bin/env bash
# Builds and runs every test: the development build (warnings as errors),
# the sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer, no
# recovery), and a bounded run of each fuzz target from its seed corpus.
# FUZZ_SECONDS (default 60) sets how long each fuzz target runs; 0 skips
# the fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-60}

step() { printf '\n== %s\n' "$*"; }

step "development build and tests"
cmake --workflow --preset dev

step "sanitizer build and tests"
cmake --workflow --preset asan

if [ "$fuzz_seconds" -gt 0 ]; then
  step "fuzz targets, ${fuzz_seconds}s each"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  bash fuzz/run-fuzzers.sh build/fuzz "$fuzz_seconds"
fi

step "all tests passed"
