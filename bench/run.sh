#!/usr/bin/env bash
# Whole-process benchmark of vemk against gzip -1 and zstd -1, then the
# microbenchmarks of the coding loops. Run from the repository root:
#
#   bench/run.sh
#
# Builds the release preset, makes three inputs in build/release/bench-data
# (the Canterbury corpus repeated to 50,000,000 bytes, 32 MiB of seeded
# random bytes, 32 MiB of one byte value) and, for each input and tool,
# times compression and decompression: one warm-up run, then the median of
# RUNS measured runs (default 5, at least 5), with the peak resident memory
# of the measured runs. Every restored file is compared with its input.
#
# Environment: VEMK_CORPUS_DIR (default ../shared/corpus beside the
# repository), RUNS (measured runs per command, default 5).
set -euo pipefail
export LC_ALL=C # one decimal point for the clock and awk
cd "$(dirname "$0")/.."
root=$PWD

runs=${RUNS:-5}
if ! [[ $runs =~ ^[0-9]+$ ]] || [ "$runs" -lt 5 ]; then
  echo "RUNS must be a whole number of at least 5" >&2
  exit 2
fi

corpus=${VEMK_CORPUS_DIR:-$root/../shared/corpus}
if [ ! -d "$corpus" ]; then
  echo "corpus directory not found: $corpus (set VEMK_CORPUS_DIR)" >&2
  exit 1
fi
corpus=$(cd "$corpus" && pwd)

# Tools the comparison needs; as root they are installed, otherwise named.
missing=()
command -v gzip >/dev/null || missing+=(gzip)
command -v zstd >/dev/null || missing+=(zstd)
[ -x /usr/bin/time ] || missing+=(time)
command -v cmp >/dev/null || missing+=(diffutils)
if command -v dpkg-query >/dev/null && ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q 'ok installed'; then
  missing+=(libbenchmark-dev)
fi
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "== installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing: ${missing[*]}. Install them first, e.g.: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

echo "== release build"
if [ -n "${VEMK_CORPUS_DIR:-}" ]; then
  cmake --preset release -DVEMK_CORPUS_DIR="$corpus" >/dev/null
else
  cmake --preset release >/dev/null
fi
cmake --build --preset release -j "$(nproc)"

build=$root/build/release
vemk=$build/vemk
micro=$build/bench/micro_bench
data=$build/bench-data
work=$data/out
mkdir -p "$data" "$work"

size_of() { stat -c %s "$1"; }

# --- inputs ------------------------------------------------------------------

corpus_bytes=50000000
block_bytes=$((32 * 1024 * 1024))

make_corpus() {
  local out=$data/corpus50m
  [ -f "$out" ] && [ "$(size_of "$out")" -eq "$corpus_bytes" ] && return
  local files=()
  local f
  while IFS= read -r f; do files+=("$f"); done < <(
    cd "$corpus" && LC_ALL=C ls -1 | grep -v -x -e README.md -e SHA256SUMS)
  if [ ${#files[@]} -ne 11 ]; then
    echo "expected 11 data files in $corpus, found ${#files[@]}" >&2
    exit 1
  fi
  : > "$out.tmp"
  while [ "$(size_of "$out.tmp")" -lt "$corpus_bytes" ]; do
    for f in "${files[@]}"; do cat "$corpus/$f" >> "$out.tmp"; done
  done
  head -c "$corpus_bytes" "$out.tmp" > "$out"
  rm -f "$out.tmp"
}

make_random() {
  local out=$data/random32m
  [ -f "$out" ] && [ "$(size_of "$out")" -eq "$block_bytes" ] && return
  "$build/bench/make_random" "$out" "$block_bytes"
}

make_repeat() {
  local out=$data/onevalue32m
  [ -f "$out" ] && [ "$(size_of "$out")" -eq "$block_bytes" ] && return
  head -c "$block_bytes" /dev/zero | tr '\0' 'a' > "$out"
}

echo "== inputs in $data"
make_corpus
make_random
make_repeat

# --- measuring ---------------------------------------------------------------

# timed OUT CMD...: one run of CMD (its standard output to OUT, or nowhere
# when OUT is -) under /usr/bin/time; sets last_us (wall time, microseconds,
# from the shell's own clock so no extra process is timed) and last_rss (peak
# resident memory, KiB). A failing command ends the benchmark.
last_us=0
last_rss=0
timed() {
  local out=$1 start end fail=0
  shift
  # Dirty pages that earlier runs left behind are written back first: a run
  # is measured on its own work, not on the write-back of the run before.
  sync
  start=${EPOCHREALTIME/./}
  if [ "$out" = - ]; then
    /usr/bin/time -f %M -o "$work/rss" "$@" </dev/null || fail=$?
  else
    /usr/bin/time -f %M -o "$work/rss" "$@" </dev/null >"$out" || fail=$?
  fi
  end=${EPOCHREALTIME/./}
  if [ "$fail" -ne 0 ]; then
    echo >&2
    echo "!! failed with status $fail: $*" >&2
    exit 1
  fi
  last_us=$((end - start))
  last_rss=$(tail -n 1 "$work/rss")
}

# measure OUT CMD...: one warm-up run, then $runs measured runs; sets med_us
# (median wall time) and max_rss (largest peak of the measured runs, KiB).
med_us=0
max_rss=0
measure() {
  local times=() i
  timed "$@"
  max_rss=0
  for ((i = 0; i < runs; i++)); do
    timed "$@"
    times+=("$last_us")
    [ "$last_rss" -gt "$max_rss" ] && max_rss=$last_rss
  done
  med_us=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }')
}

mbps() { awk -v b="$1" -v us="$2" 'BEGIN { printf "%.1f", b / us }'; }   # bytes/us = MB/s
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

rows=()
bounds=()
failures=0

# bench_input LABEL FILE
bench_input() {
  local label=$1 in=$2 n vemk_c_us vemk_d_us
  n=$(size_of "$in")
  local tools=(vemk gzip zstd) tool cfile rfile csize c_mbps d_mbps
  for tool in "${tools[@]}"; do
    cfile=$work/$label.$tool
    rfile=$work/$label.$tool.restored
    printf '   %-11s %-5s ' "$label" "$tool"
    case $tool in
      vemk) measure - "$vemk" c "$in" "$cfile" ;;
      gzip) measure "$cfile" gzip -1 -c "$in" ;;
      zstd) measure - zstd -1 -q -f "$in" -o "$cfile" ;;
    esac
    local c_us=$med_us c_rss=$max_rss
    csize=$(size_of "$cfile")
    printf 'compressed, '
    case $tool in
      vemk) measure - "$vemk" d "$cfile" "$rfile" ;;
      gzip) measure "$rfile" gzip -d -c "$cfile" ;;
      zstd) measure - zstd -d -q -f "$cfile" -o "$rfile" ;;
    esac
    local d_us=$med_us d_rss=$max_rss
    if cmp -s "$in" "$rfile"; then
      echo "decompressed, restore identical"
    else
      echo "decompressed, RESTORE DIFFERS"
      failures=$((failures + 1))
    fi
    c_mbps=$(mbps "$n" "$c_us")
    d_mbps=$(mbps "$n" "$d_us")
    if [ "$tool" = vemk ]; then
      vemk_c_us=$c_us vemk_d_us=$d_us
      local limit_kib=$(( (n + csize + 4 * 1024 * 1024) / 1024 ))
      local ok_c=yes ok_d=yes
      [ "$c_rss" -le "$limit_kib" ] || { ok_c=NO; failures=$((failures + 1)); }
      [ "$d_rss" -le "$limit_kib" ] || { ok_d=NO; failures=$((failures + 1)); }
      bounds+=("$(printf '%-11s %-10s %10s %10s  %s' "$label" compress "$(mib "$c_rss")" "$(mib "$limit_kib")" "$ok_c")")
      bounds+=("$(printf '%-11s %-10s %10s %10s  %s' "$label" decompress "$(mib "$d_rss")" "$(mib "$limit_kib")" "$ok_d")")
    fi
    local ratio vs_c=- vs_d=-
    ratio=$(awk -v c="$csize" -v n="$n" 'BEGIN { printf "%.2f%%", 100 * c / n }')
    if [ "$tool" != vemk ]; then
      # Same bytes in both, so the throughput ratio is the inverse time ratio.
      vs_c=$(awk -v v="$vemk_c_us" -v p="$c_us" 'BEGIN { printf "%.2fx", p / v }')
      vs_d=$(awk -v v="$vemk_d_us" -v p="$d_us" 'BEGIN { printf "%.2fx", p / v }')
    fi
    rows+=("$(printf '%-11s %-5s %-10s %9s %12s %8s %9s %9s' "$label" "$tool" compress "$c_mbps" "$csize" "$ratio" "$(mib "$c_rss")" "$vs_c")")
    rows+=("$(printf '%-11s %-5s %-10s %9s %12s %8s %9s %9s' "$label" "$tool" decompress "$d_mbps" "" "" "$(mib "$d_rss")" "$vs_d")")
    rm -f "$cfile" "$rfile"
  done
}

echo "== timing: 1 warm-up + $runs measured runs per command (median wall time, peak RSS)"
started=${EPOCHREALTIME/./}
bench_input corpus50m "$data/corpus50m"
bench_input random32m "$data/random32m"
bench_input onevalue32m "$data/onevalue32m"
finished=${EPOCHREALTIME/./}

echo
echo "== results (MB/s = 10^6 uncompressed bytes per second of wall time, both modes;"
echo "   size/ratio = compressed bytes and their share of the input;"
echo "   vemk/peer = vemk's throughput divided by that tool's, same input and mode)"
printf '%-11s %-5s %-10s %9s %12s %8s %9s %9s\n' input tool mode MB/s size ratio "RSS MiB" vemk/peer
printf '%s\n' "-----------------------------------------------------------------------------"
prev=
for r in "${rows[@]}"; do
  cur=${r%% *}
  [ -n "$prev" ] && [ "$cur" != "$prev" ] && echo
  prev=$cur
  echo "$r"
done

echo
echo "== vemk memory bounds: compression <= input + compressed + 4 MiB,"
echo "   decompression <= compressed + output + 4 MiB"
printf '%-11s %-10s %10s %10s  %s\n' input mode "RSS MiB" "bound MiB" within
for b in "${bounds[@]}"; do echo "$b"; done

echo
echo "timed section: $(awk -v us=$((finished - started)) 'BEGIN { printf "%.1f", us / 1e6 }') s"
if [ "$failures" -ne 0 ]; then
  echo "!! $failures check(s) failed: a restore differed or a memory bound was exceeded" >&2
fi

echo
echo "== microbenchmarks"
"$micro" --benchmark_min_time=0.2

[ "$failures" -eq 0 ]
