#!/usr/bin/env bash
# Builds and runs every test: the development build (warnings as errors),
# the sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer, no
# recovery), the portable build (no compiler extensions), the cross builds
# for Windows, i686, armhf, aarch64 and s390x with their tests under wine
# and qemu-user, the release build with its installation, library example,
# Debian package and manual page, and a bounded run of each fuzz target
# from its seed corpus.
# FUZZ_SECONDS (default 60) sets how long each fuzz target runs; 0 skips
# the fuzz runs. A missing cross toolchain is named and its platform
# skipped, except under CI=true, where it is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-60}

step() { printf '\n== %s\n' "$*"; }

step "development build and tests"
cmake --workflow --preset dev

step "sanitizer build and tests"
cmake --workflow --preset asan

step "portable build and tests"
cmake --workflow --preset portable

# Every platform: its unit tests under its emulator, the command-line tests
# of the native build run against its vemk, and its compressed corpus
# compared with the checked-in hashes (the same bytes on every platform).
declare -A toolchain=(
  [windows]="x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix wine:wine wine64:wine64"
  [i686]="i686-linux-gnu-g++:g++-i686-linux-gnu qemu-i386:qemu-user"
  [armhf]="arm-linux-gnueabihf-g++:g++-arm-linux-gnueabihf qemu-arm:qemu-user"
  [aarch64]="aarch64-linux-gnu-g++:g++-aarch64-linux-gnu qemu-aarch64:qemu-user"
  [s390x]="s390x-linux-gnu-g++:g++-s390x-linux-gnu qemu-s390x:qemu-user"
)
declare -A emulator=([i686]=qemu-i386 [armhf]=qemu-arm [aarch64]=qemu-aarch64 [s390x]=qemu-s390x)
platforms=()
for p in windows i686 armhf aarch64 s390x; do
  lacking=()
  for pair in ${toolchain[$p]}; do
    command -v "${pair%%:*}" >/dev/null || lacking+=("${pair#*:}")
  done
  if [ "${#lacking[@]}" -eq 0 ]; then
    platforms+=("$p")
  elif [ "${CI:-}" = true ]; then
    echo "toolchain for $p missing: apt-get install -y ${lacking[*]}" >&2
    exit 1
  else
    echo "skipping $p: its toolchain is missing (apt-get install -y ${lacking[*]})"
  fi
done
corpus_check() { # name, command that runs vemk
  local name=$1 dir=build/$1/corpus-check
  shift
  rm -rf "$dir" && mkdir -p "$dir"
  while read -r hash file; do
    "$@" c "tests/data/corpus/${file%.vemk}" "$dir/$file"
  done <tests/data/corpus.vemk.sha256
  (cd "$dir" && sha256sum --quiet -c "$OLDPWD/tests/data/corpus.vemk.sha256")
  echo "$name: the compressed corpus is byte-identical to the checked-in hashes"
}
if [ "${#platforms[@]}" -gt 0 ]; then
  export WINEDEBUG=-all
  if [[ " ${platforms[*]} " == *" windows "* ]]; then
    # One wine server for all runs, instead of one started for each.
    wineserver -p >/dev/null 2>&1 </dev/null &
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  fi
  for p in "${platforms[@]}"; do
    step "$p: build, unit tests, command line, compressed corpus"
    cmake --workflow --preset "$p"
    if [ "$p" = windows ]; then
      bash tests/windows-cli.sh build/windows/vemk.exe
    else
      VEMK_RUNNER="${emulator[$p]} $PWD/build/$p/vemk" build/dev/tests/cli_tests --gtest_brief=1
      corpus_check "$p" "${emulator[$p]}" "build/$p/vemk"
    fi
  done
fi
corpus_check native build/dev/vemk

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
