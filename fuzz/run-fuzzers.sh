#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for SECONDS each, one after the
# other, starting from freshly generated seeds.
# Usage: run-fuzzers.sh BUILD_DIR SECONDS
#   BUILD_DIR  a build configured with VEMK_FUZZ=ON under clang (for
#              example: cmake --preset fuzz && cmake --build --preset fuzz,
#              giving build/fuzz)
# Inputs that libFuzzer finds interesting accumulate in BUILD_DIR/fuzz-corpus
# and are reused by the next run; crashes land in BUILD_DIR/fuzz-artifacts.
# Exits non-zero if any target crashed, leaked, timed out or ran out of
# memory.
set -uo pipefail

if [[ $# -ne 2 || ! $2 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
corpus=${VEMK_CORPUS_DIR:-$here/../tests/data/corpus}
targets=(restore roundtrip)

for t in "${targets[@]}"; do
    if [[ ! -x $build/fuzz/${t}_fuzz ]]; then
        echo "$0: $build/fuzz/${t}_fuzz is missing: build with VEMK_FUZZ=ON under clang" >&2
        exit 2
    fi
done
bash "$here/make-seeds.sh" "$build/fuzz-seeds" "$build/vemk" "$corpus" </dev/null || exit 2

failed=0
for t in "${targets[@]}"; do
    work=$build/fuzz-corpus/$t
    artifacts=$build/fuzz-artifacts/$t
    log=$build/fuzz-$t.log
    mkdir -p "$work" "$artifacts"
    echo "== $t: ${seconds}s, log in $log"
    # New inputs go to the first directory; the seeds are only read.
    "$build/fuzz/${t}_fuzz" \
        -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "$build/fuzz-seeds/$t" </dev/null >"$log" 2>&1
    status=$?
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" | tail -n 2
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log"
    if [[ $status -ne 0 ]]; then
        failed=1
        echo "!! $t failed with status $status; the end of its log:"
        tail -n 40 "$log"
        grep -o 'Test unit written to .*' "$log" | sed 's/^Test unit written to //' | while read -r a; do
            [[ -f $a ]] || continue
            echo "!! reproducer $a ($(wc -c <"$a") bytes), hex (first 4 KiB):"
            head -c 4096 "$a" | od -An -tx1 -v | tr -d ' \n' | fold -w 64
            echo
        done
    fi
done
exit $failed
