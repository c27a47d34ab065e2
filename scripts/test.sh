#!/usr/bin/env bash
# Builds and runs every test: the development build (warnings as errors),
# the sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer, no
# recovery), the portable build (no compiler extensions), the cross builds
# for Windows, i686, armhf, aarch64 and s390x with their tests under wine
# and qemu-user, the release build with its installation, library examples
# in C++, C and Python, the Debian packages (checked by lintian) and the
# manual page, the Python package in a new virtual environment with its
# tests, the npm package and the page (WebAssembly, under Node and headless
# Chromium), and a bounded run of each fuzz target from its seed corpus.
# FUZZ_SECONDS (default 60) sets how long each fuzz target runs; 0 skips
# the fuzz runs. A missing cross toolchain is named and its platform
# skipped, except under CI=true, where it is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-60}
# The real files that the library examples round-trip.
corpus_dir=${VEMK_CORPUS_DIR:-$PWD/tests/data/corpus}

step() { printf "\n== %s (at %d s)\n" "$*" "$SECONDS"; }

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
  [windows]="x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix wine:wine,wine64"
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
    lacking=("${lacking[@]//,/ }")
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
  if [[ " ${platforms[*]} " == *" windows "* ]]; then
    # A wine prefix of the build's own, without the .NET and HTML engines it
    # would offer to install. One wine server for all runs, and the
    # prefix's services started now, detached from every output that a test
    # reads (a service holding the pipe of a test would keep it open).
    export WINEDEBUG=-all WINEPREFIX=$PWD/build/wine WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null &
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    wine wineboot -i >/dev/null 2>&1 </dev/null
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

step "release build, install, library examples, Debian packages, manual page"
cmake --workflow --preset release
stage=$PWD/build/stage
rm -rf "$stage" build/example build/deb build/release/*.deb
cmake --install build/release --prefix "$stage"
# Consumers of the installed library through its CMake package: the
# README's C++ program, and the C program through the shared library.
cmake -S examples -B build/example -DCMAKE_PREFIX_PATH="$stage"
cmake --build build/example
sample=/usr/share/common-licenses/GPL-3
[ -f "$sample" ] || sample=$stage/bin/vemk
cp "$sample" build/example/sample
build/example/roundtrip build/example/sample
build/example/roundtrip_c build/example/sample >/dev/null
"$stage/bin/vemk" c build/example/sample build/example/sample.vemk
build/example/restore_stream <build/example/sample.vemk | cmp - build/example/sample
# The README shows those programs whole; they must be the ones built here.
# A block is known by its fence: the language, and the file's name where
# two are in the same language.
readme_block() { sed -n "/^\`\`\`$1\$/,/^\`\`\`\$/p" README.md | sed '1d;$d'; }
readme_block cpp | diff - examples/roundtrip.cpp
readme_block c | diff - examples/roundtrip.c
readme_block 'c restore_stream.c' | diff - examples/restore_stream.c
readme_block python | diff - examples/roundtrip.py

(cd build/release && cpack -G DEB)
packages=(build/release/vemk_*.deb build/release/libvemk[0-9]*_*.deb build/release/libvemk-dev_*.deb)
[ ${#packages[@]} -eq 3 ] && ls "${packages[@]}" >/dev/null
lint=$(lintian "${packages[@]}" 2>&1 | grep -v '^running with root privileges' || true)
if printf '%s\n' "$lint" | grep -q '^[EW]:'; then
  printf 'lintian:\n%s\n' "$lint"
  exit 1
fi
echo "lintian: no errors or warnings on ${packages[*]##*/}"
version=$(dpkg-deb -f build/release/vemk_*.deb Version)
runtime=$(dpkg-deb -f build/release/libvemk[0-9]*_*.deb Package)
[ "$(dpkg-deb -f build/release/libvemk-dev_*.deb Depends)" = "$runtime (= $version)" ]
dpkg-deb -f build/release/vemk_*.deb Depends | grep -qx 'libc6 (>= [0-9.]*)'

# Everything unpacked into one root, as if installed there.
for p in "${packages[@]}"; do dpkg -x "$p" build/deb; done
libdir=$(dirname "$(dirname "$(find build/deb -name vemk.pc)")")
# The shared library exports exactly the symbols its package declares.
exported=$(nm -D --defined-only "$libdir/libvemk.so.0" | awk '{print $3}' | sort)
declared=$(dpkg-deb --info build/release/libvemk[0-9]*_*.deb symbols | awk '/^ / {sub(/@.*/, "", $1); print $1}' | sort)
diff <(echo "$exported") <(echo "$declared")
echo "libvemk.so.0 exports only: $(echo $exported)"

# A C11 program built with pkg-config, and Python's ctypes, both on the
# packaged shared library, round-trip every file of the corpus.
mapfile -t corpus < <(find "$corpus_dir" -maxdepth 1 -type f | sort)
[ ${#corpus[@]} -gt 0 ]
export PKG_CONFIG_SYSROOT_DIR=$PWD/build/deb PKG_CONFIG_LIBDIR=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -pedantic -Werror $(pkg-config --cflags vemk) examples/roundtrip.c \
  $(pkg-config --libs vemk) -o build/deb/roundtrip_c
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -pedantic -Werror $(pkg-config --cflags vemk) examples/restore_stream.c \
  $(pkg-config --libs vemk) -o build/deb/restore_stream
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR
readelf -d build/deb/roundtrip_c | grep -q 'NEEDED.*libvemk\.so\.0'
readelf -d build/deb/restore_stream | grep -q 'NEEDED.*libvemk\.so\.0'
LD_LIBRARY_PATH=$libdir build/deb/roundtrip_c "${corpus[@]}"
LD_LIBRARY_PATH=$libdir python3 examples/roundtrip.py "${corpus[@]}"
# The stream restores what the program compressed, piped through.
for f in "${corpus[@]}"; do
  build/deb/usr/bin/vemk c "$f" build/deb/stream.vemk
  LD_LIBRARY_PATH=$libdir build/deb/restore_stream <build/deb/stream.vemk | cmp - "$f"
done
echo "restore_stream: every file of the corpus restored through the packaged library"

build/deb/usr/bin/vemk c "$sample" build/deb/sample.vemk
build/deb/usr/bin/vemk d build/deb/sample.vemk build/deb/sample.out
cmp "$sample" build/deb/sample.out
echo "package round trip: $(stat -c %s "$sample") -> $(stat -c %s build/deb/sample.vemk) -> $(stat -c %s build/deb/sample.out) bytes"
warnings=$( { zcat build/deb/usr/share/man/man1/vemk.1.gz | groff -man -Tutf8 -ww -z; } 2>&1)
if [ -n "$warnings" ]; then
  printf 'manual page warnings:\n%s\n' "$warnings"
  exit 1
fi
echo "manual page renders without warnings"

step "Python package: installed into a new virtual environment, its tests"
# The README's install command, in a venv of Debian's Python (PYTHON
# chooses another) that sees its pytest and numpy; nothing is written into
# the source tree but build/.
python=${PYTHON:-/usr/bin/python3}
[ -x "$python" ] || python=python3
venv=build/python-venv
rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
(source "$venv/bin/activate" && PIP_NO_INPUT=1 PIP_DISABLE_PIP_VERSION_CHECK=1 \
  python3 -m pip install --no-build-isolation ./python)
"$venv/bin/python" -B -m pytest -p no:cacheprovider -q python/tests
# The README's example, run as it stands.
mkdir -p "$venv/example"
readme_block py >"$venv/example/example.py"
(cd "$venv/example" && ../bin/python -B example.py)

# The npm package and the page: built with Debian's emscripten, tested under
# Node and in headless Chromium, packed.
wasm_lacking=()
command -v emcc >/dev/null || wasm_lacking+=(emscripten)
command -v chromium >/dev/null || wasm_lacking+=(chromium)
command -v npm >/dev/null || wasm_lacking+=(npm)
if [ "${#wasm_lacking[@]}" -eq 0 ]; then
  step "WebAssembly: npm package and its tests, the page in headless Chromium"
  cmake --workflow --preset wasm
elif [ "${CI:-}" = true ]; then
  echo "toolchain for wasm missing: apt-get install -y ${wasm_lacking[*]}" >&2
  exit 1
else
  echo "skipping wasm: its toolchain is missing (apt-get install -y ${wasm_lacking[*]})"
fi

if [ "$fuzz_seconds" -gt 0 ]; then
  step "fuzz targets, ${fuzz_seconds}s each"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  bash fuzz/run-fuzzers.sh build/fuzz "$fuzz_seconds"
fi

step "all tests passed"
