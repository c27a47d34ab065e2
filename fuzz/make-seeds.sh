#!/usr/bin/env bash
# Builds the seed inputs of the fuzz targets from generated data:
#   OUTDIR/roundtrip/  plain inputs for roundtrip_fuzz
#   OUTDIR/restore/    compressed files for restore_fuzz: valid ones made by
#                      the vemk binary, cut-short, extended and hand-damaged
#                      ones, and the reproducers of faults found so far.
# Usage: make-seeds.sh OUTDIR VEMK_BINARY [CORPUS_DIR]
# Everything is made from fixed generators, so the seeds are the same on
# every run and every machine; nothing binary is kept in the repository.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 OUTDIR VEMK_BINARY [CORPUS_DIR]" >&2
    exit 2
fi
out=$1
vemk=$2
corpus=${3:-}
raw=$out/roundtrip
packed=$out/restore

[[ -x $vemk ]] || { echo "$0: no vemk binary at $vemk" >&2; exit 2; }
rm -rf "$raw" "$packed"
mkdir -p "$raw" "$packed"

# --- plain inputs ------------------------------------------------------
: >"$raw/empty"
printf 'A' >"$raw/one-byte"
printf 'AB' >"$raw/two-bytes"
printf 'abracadabra' >"$raw/abracadabra"
head -c 1000 /dev/zero >"$raw/zeros-1000"

# A fixed 32-bit xorshift, not the language's generator, so the bytes never
# change with the interpreter's version. Counts around 65536 matter: up to
# 65535 bytes the table holds raw counts, from 65536 on it is scaled.
python3 - "$raw" <<'EOF'
import sys
out = sys.argv[1]
state = 0x2545F491
def next_word():
    global state
    state ^= (state << 13) & 0xFFFFFFFF
    state ^= state >> 17
    state ^= (state << 5) & 0xFFFFFFFF
    return state
def uniform(n):
    return bytes(next_word() & 0xFF for _ in range(n))
def skewed(n, symbols):
    # Geometric: each next symbol half as likely, so frequencies span
    # from most of the total down to a few units.
    res = bytearray()
    for _ in range(n):
        w, k = next_word(), 0
        while w & 1 and k < symbols - 1:
            w >>= 1
            k += 1
        res.append((0x41 + 7 * k) & 0xFF)
    return bytes(res)
files = {
    "all-values": bytes(range(256)),
    "uniform-4096": uniform(4096),
    "skewed-8192": skewed(8192, 12),
    "one-value-65535": b"A" * 65535,
    "skewed-65536": skewed(65536, 30),
    "rare-byte-65536": b"\x00" * 65535 + b"\xff",
}
for name, data in files.items():
    with open(f"{out}/{name}", "wb") as f:
        f.write(data)
EOF

if [[ -n $corpus && -d $corpus ]]; then
    for name in alice29.txt fields.c kennedy.xls ptt5 sum; do
        if [[ -f $corpus/$name ]]; then
            head -c 4096 "$corpus/$name" >"$raw/corpus-$name"
        fi
    done
fi

# --- compressed files --------------------------------------------------
compress() { # plain-file compressed-file
    "$vemk" c "$1" "$2" </dev/null >/dev/null || {
        echo "$0: vemk could not compress $1" >&2
        exit 1
    }
}
size() { wc -c <"$1" | tr -d ' '; }

for f in "$raw"/*; do
    compress "$f" "$packed/valid-$(basename "$f")"
done

# Cut short at every part of the file: inside the length, inside the table,
# right after the head, one byte before the end and halfway through the
# coded stream. Then one with bytes after its end, which must not matter.
for name in abracadabra skewed-8192 uniform-4096; do
    file=$packed/valid-$name
    n=$(size "$file")
    head -c 2 "$file" >"$packed/cut-length-$name"
    head -c 300 "$file" >"$packed/cut-table-$name"
    head -c 516 "$file" >"$packed/cut-head-$name"
    head -c $((n - 1)) "$file" >"$packed/cut-last-$name"
    head -c $(((n + 516) / 2)) "$file" >"$packed/cut-half-$name"
    { cat "$file"; printf 'trailing bytes!'; } >"$packed/extended-$name"
done

# Damage that the compressor never writes. An input that a fuzz target
# crashed on belongs here too, named after what it broke, so that the test
# suite replays it from then on.
python3 - "$packed" <<'EOF'
import sys
out = sys.argv[1]
def head(length, table):
    entries = [0] * 256
    for value, freq in table.items():
        entries[value] = freq
    return length.to_bytes(4, "little", signed=True) + b"".join(
        e.to_bytes(2, "little") for e in entries)
files = {
    # Refused before decoding: negative length, table that sums to 0, and
    # a table whose total is too large for the coder's 16-bit units.
    "negative-length": head(-1, {0x41: 1}) + b"\0\0\0\0",
    "min-length": head(-2**31, {}) + b"\0\0\0\0",
    "zero-table": head(5, {}) + b"\0\0\0\0",
    "huge-total": head(3, {v: 0xFFFF for v in range(256)}) + b"\0\0\0\0",
    "total-65537": head(3, {0x41: 0xFFFF, 0x42: 2}) + b"\0\0\0\0",
    "total-65536": head(3, {0x41: 0xFFFF, 0x42: 1}) + b"\0\0\0\0",
    # A stream whose code lies beyond the table's last slot.
    "target-outside": head(3, {0x41: 1, 0x42: 1}) + b"\xff" * 8,
    # One symbol that owns the whole table: decoding needs no stream bytes.
    "whole-table-one-symbol": head(1000, {0x41: 1}) + b"\0\0\0\0",
    # Length 0 restores to nothing, whatever follows it.
    "zero-length-junk-table": head(0, {v: 0xFFFF for v in range(256)}),
    "length-only": (7).to_bytes(4, "little"),
}
for name, data in files.items():
    with open(f"{out}/{name}", "wb") as f:
        f.write(data)
EOF
: >"$packed/empty"

echo "seeds: $(ls "$raw" | wc -l) plain in $raw, $(ls "$packed" | wc -l) compressed in $packed"
