#!/usr/bin/env bash
# Whole-process benchmark of vemk against gzip -1 and zstd -1 -T1, then the
# microbenchmarks of the coding loops. Run from the repository root:
#
#   bench/run.sh
#
# Builds the release preset, makes three inputs in build/release/bench-data
# (the Canterbury corpus repeated to 50,000,000 bytes, 32 MiB of seeded
# random bytes, 32 MiB of one byte value) and, for each input, times every
# command as a user meets it: each one writes a new output file, removed
# before every run, all in one folder (a tmpfs where there is one). The
# commands are vemk c, vemk c held to one core (taskset -c 0), vemk d,
# gzip -1 and -d, zstd -1 -T1 and -d. After one warm-up round, each of RUNS
# rounds (default 7, at least 7) runs every command once in a freshly
# shuffled order, so that no tool always follows the same neighbour; the
# result is the median wall time, with the peak resident memory of the
# measured runs. Every restored file is compared with its input.
#
# Environment: VEMK_CORPUS_DIR (default tests/data/corpus), RUNS (rounds, default 7), BENCH_DIR (the output folder,
# default a new directory in /dev/shm, else in the build tree).
set -euo pipefail
export LC_ALL=C # one decimal point for the clock and awk
cd "$(dirname "$0")/.."
root=$PWD

runs=${RUNS:-7}
if ! [[ $runs =~ ^[0-9]+$ ]] || [ "$runs" -lt 7 ]; then
  echo "RUNS must be a whole number of at least 7" >&2
  exit 2
fi

corpus=${VEMK_CORPUS_DIR:-$root/tests/data/corpus}
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
command -v taskset >/dev/null || missing+=(util-linux)
command -v shuf >/dev/null || missing+=(coreutils)
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
mkdir -p "$data"
# Outputs on a tmpfs where there is one: the disk's write-back then times
# no tool.
if [ -n "${BENCH_DIR:-}" ]; then
  work=$BENCH_DIR
  mkdir -p "$work"
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d /dev/shm/vemk-bench.XXXXXX)
else
  work=$data/out
  mkdir -p "$work"
fi
trap '[ -z "${BENCH_DIR:-}" ] && [ "${work#/dev/shm/}" != "$work" ] && rm -rf "$work"' EXIT

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
# from the shell's own clock so no extra process is timed), last_rss (peak
# resident memory, KiB) and last_faults (minor page faults: on a machine
# where a first touch of memory is dear, they tell where time goes). A
# failing command ends the benchmark.
last_us=0
last_rss=0
last_faults=0
timed() {
  local out=$1 start end fail=0
  shift
  start=${EPOCHREALTIME/./}
  if [ "$out" = - ]; then
    /usr/bin/time -f '%M %R' -o "$work/rss" "$@" </dev/null || fail=$?
  else
    /usr/bin/time -f '%M %R' -o "$work/rss" "$@" </dev/null >"$out" || fail=$?
  fi
  end=${EPOCHREALTIME/./}
  if [ "$fail" -ne 0 ]; then
    echo >&2
    echo "!! failed with status $fail: $*" >&2
    exit 1
  fi
  last_us=$((end - start))
  read -r last_rss last_faults < <(tail -n 1 "$work/rss")
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

mbps() { awk -v b="$1" -v us="$2" 'BEGIN { printf "%.1f", b / us }'; }   # bytes/us = MB/s
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# The commands of one input, by name: what each reads and writes. The
# compressed files that the d commands read are made once, untimed.
names=(vemk-c vemk-c-1core vemk-d gzip-c gzip-d zstd-c zstd-d)

# run_named NAME IN: one timed run of command NAME on input IN, its output
# removed first.
run_named() {
  local name=$1 in=$2 label
  label=$(basename "$in")
  local out=$work/$label.$name.out
  rm -f "$out"
  sync
  case $name in
    vemk-c) timed - "$vemk" c "$in" "$out" ;;
    vemk-c-1core) timed - taskset -c 0 "$vemk" c "$in" "$out" ;;
    vemk-d) timed - "$vemk" d "$work/$label.vemk" "$out" ;;
    gzip-c) timed "$out" gzip -1 -c "$in" ;;
    gzip-d) timed "$out" gzip -d -c "$work/$label.gzip" ;;
    zstd-c) timed - zstd -1 -T1 -q -f "$in" -o "$out" ;;
    zstd-d) timed - zstd -d -q -f "$work/$label.zstd" -o "$out" ;;
  esac
}

rows=()
bounds=()
cores=()
failures=0

# bench_input LABEL FILE
bench_input() {
  local label=$1 in=$2 n name round
  n=$(size_of "$in")
  "$vemk" c "$in" "$work/$label.vemk"
  gzip -1 -c "$in" >"$work/$label.gzip"
  zstd -1 -T1 -q -f "$in" -o "$work/$label.zstd"
  declare -A times=() rss=() faults=()
  for ((round = 0; round <= runs; round++)); do
    printf '   %-11s round %d of %d%s\r' "$label" "$round" "$runs" "$([ "$round" -eq 0 ] && echo ' (warm-up)' || echo '          ')"
    for name in $(printf '%s\n' "${names[@]}" | shuf); do
      run_named "$name" "$in"
      if [ "$round" -gt 0 ]; then
        times[$name]="${times[$name]:-} $last_us"
        faults[$name]="${faults[$name]:-} $last_faults"
        [ "$last_rss" -gt "${rss[$name]:-0}" ] && rss[$name]=$last_rss
      fi
    done
  done
  echo
  # The last run of each d command must have restored the input, and the
  # c commands must have written what was decoded.
  local tool
  for tool in vemk gzip zstd; do
    if ! cmp -s "$in" "$work/$label.$tool-d.out"; then
      echo "!! $label: $tool restore differs" >&2
      failures=$((failures + 1))
    fi
  done
  cmp -s "$work/$label.vemk" "$work/$label.vemk-c.out" || { echo "!! $label: vemk c output changed between runs" >&2; failures=$((failures + 1)); }
  cmp -s "$work/$label.vemk" "$work/$label.vemk-c-1core.out" || { echo "!! $label: vemk c on one core wrote other bytes" >&2; failures=$((failures + 1)); }

  declare -A med=()
  for name in "${names[@]}"; do
    # shellcheck disable=SC2086
    med[$name]=$(median ${times[$name]})
  done
  for tool in vemk gzip zstd; do
    local csize ratio vs_c=- vs_d=-
    csize=$(size_of "$work/$label.$tool")
    ratio=$(awk -v c="$csize" -v n="$n" 'BEGIN { printf "%.2f%%", 100 * c / n }')
    if [ "$tool" != vemk ]; then
      # Same bytes in both, so the throughput ratio is the inverse time ratio.
      vs_c=$(awk -v v="${med[vemk-c]}" -v p="${med[$tool-c]}" 'BEGIN { printf "%.2fx", p / v }')
      vs_d=$(awk -v v="${med[vemk-d]}" -v p="${med[$tool-d]}" 'BEGIN { printf "%.2fx", p / v }')
    fi
    rows+=("$(printf '%-11s %-5s %-10s %9s %12s %8s %9s %9s' "$label" "$tool" compress "$(mbps "$n" "${med[$tool-c]}")" "$csize" "$ratio" "$(mib "${rss[$tool-c]}")" "$vs_c")")
    if [ "$tool" = vemk ]; then
      local one_vs=
      one_vs=$(awk -v v="${med[vemk-c-1core]}" -v p="${med[zstd-c]}" 'BEGIN { printf "%.2fx", p / v }')
      rows+=("$(printf '%-11s %-5s %-10s %9s %12s %8s %9s %9s' "$label" "$tool" "c, 1 core" "$(mbps "$n" "${med[vemk-c-1core]}")" "" "" "$(mib "${rss[vemk-c-1core]}")" "$one_vs")")
    fi
    rows+=("$(printf '%-11s %-5s %-10s %9s %12s %8s %9s %9s' "$label" "$tool" decompress "$(mbps "$n" "${med[$tool-d]}")" "" "" "$(mib "${rss[$tool-d]}")" "$vs_d")")
  done
  # Both cores against one: the throughput ratio, and the median minor
  # faults of each.
  cores+=("$(printf '%-11s %8s %14s %14s' "$label" \
    "$(awk -v two="${med[vemk-c]}" -v one="${med[vemk-c-1core]}" 'BEGIN { printf "%.2fx", one / two }')" \
    "$(median ${faults[vemk-c]})" "$(median ${faults[vemk-c-1core]})")")
  local limit_kib ok_c=yes ok_d=yes csize_v
  csize_v=$(size_of "$work/$label.vemk")
  limit_kib=$(( (n + csize_v + 6 * 1024 * 1024) / 1024 ))
  [ "${rss[vemk-c]}" -le "$limit_kib" ] || { ok_c=NO; failures=$((failures + 1)); }
  [ "${rss[vemk-d]}" -le "$limit_kib" ] || { ok_d=NO; failures=$((failures + 1)); }
  bounds+=("$(printf '%-11s %-10s %10s %10s  %s' "$label" compress "$(mib "${rss[vemk-c]}")" "$(mib "$limit_kib")" "$ok_c")")
  bounds+=("$(printf '%-11s %-10s %10s %10s  %s' "$label" decompress "$(mib "${rss[vemk-d]}")" "$(mib "$limit_kib")" "$ok_d")")
  rm -f "$work/$label".*
}

echo "== timing in $work: 1 warm-up + $runs measured rounds, shuffled (median wall time, peak RSS)"
started=${EPOCHREALTIME/./}
bench_input corpus50m "$data/corpus50m"
bench_input random32m "$data/random32m"
bench_input onevalue32m "$data/onevalue32m"
finished=${EPOCHREALTIME/./}

echo
echo "== results (MB/s = 10^6 uncompressed bytes per second of wall time, both modes;"
echo "   size/ratio = compressed bytes and their share of the input;"
echo "   vemk/peer = vemk's throughput divided by that tool's, same input and mode;"
echo "   on the 'c, 1 core' row, vemk held to one core against zstd -1 -T1)"
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
echo "== vemk c on every core against one core (taskset -c 0): throughput ratio"
echo "   (above 1: the second core pays) and median minor page faults of each"
printf '%-11s %8s %14s %14s\n' input "2c / 1c" "faults, all" "faults, 1 core"
for c in "${cores[@]}"; do echo "$c"; done

echo
echo "== vemk memory bounds: compression <= input + compressed + 6 MiB,"
echo "   decompression <= compressed + output + 6 MiB"
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
