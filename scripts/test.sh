#!/usr/bin/env bash
# Builds and runs every test: the development build (warnings as errors),
# the sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer, no
# recovery), the release build with its installation, library example,
# Debian package and manual page, and a bounded run of each fuzz target
# from its seed corpus.
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

step "release build, install, library example, Debian package, manual page"
cmake --workflow --preset release
stage=$PWD/build/stage
rm -rf "$stage" build/example build/deb
cmake --install build/release --prefix "$stage"
# A consumer of the installed library: the README's example program.
cmake -S examples -B build/example -DCMAKE_PREFIX_PATH="$stage"
cmake --build build/example
sample=/usr/share/common-licenses/GPL-3
[ -f "$sample" ] || sample=$stage/bin/vemk
cp "$sample" build/example/sample
build/example/roundtrip build/example/sample
# The README shows that program whole; it must be the one built here.
sed -n '/^```cpp$/,/^```$/p' README.md | sed '1d;$d' | diff - examples/roundtrip.cpp
(cd build/release && cpack -G DEB)
dpkg -x build/release/vemk_*.deb build/deb
build/deb/usr/bin/vemk c "$sample" build/deb/sample.vemk
build/deb/usr/bin/vemk d build/deb/sample.vemk build/deb/sample.out
cmp "$sample" build/deb/sample.out
echo "package round trip: $(stat -c %s "$sample") -> $(stat -c %s build/deb/sample.vemk) -> $(stat -c %s build/deb/sample.out) bytes"
warnings=$( { groff -man -Tutf8 -ww -z build/deb/usr/share/man/man1/vemk.1; } 2>&1)
if [ -n "$warnings" ]; then
  printf 'manual page warnings:\n%s\n' "$warnings"
  exit 1
fi
echo "manual page renders without warnings"

if [ "$fuzz_seconds" -gt 0 ]; then
  step "fuzz targets, ${fuzz_seconds}s each"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  bash fuzz/run-fuzzers.sh build/fuzz "$fuzz_seconds"
fi

step "all tests passed"
