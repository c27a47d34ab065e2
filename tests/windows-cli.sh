#!/usr/bin/env bash
# The command line of vemk.exe as a Windows user meets it, run under wine:
# messages as bytes, statuses, the sharing rules, the one-byte wait, names
# outside the ANSI code page, and compressed files identical to Linux's.
#   tests/windows-cli.sh VEMK_EXE
set -uo pipefail
exe=$(realpath "$1")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEDEBUG=-all
work=$(mktemp -d)
trap 'exec 3>&-; rm -rf "$work"' EXIT
cd "$work"

passed=0 failed=0
check() { # what, got, wanted
    if [[ "$2" == "$3" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED: %s\n  got:    %q\n  wanted: %q\n' "$1" "$2" "$3"
    fi
}
# Runs vemk.exe with standard input from $stdin (default: none), and gives
# "stdout|stderr|status".
stdin=/dev/null
run() {
    local out err status
    out=$(wine "$exe" "$@" <"$stdin" 2>"$work/.err"; echo "|$?")
    status=${out##*|}
    out=${out%|*}
    err=$(cat "$work/.err")
    printf '%s|%s|%s' "$out" "$err" "$status"
}

printf 'abracadabra' >f
usage="vemk {c|d} infile outfile"
mode=$'Run time error, rule \'Start\' in module \'vemk\' does not match\n'

check "no arguments" "$(run)" "$usage||255"
check "two arguments" "$(run c f)" "$usage||255"
check "missing input" "$(run c missing out1)|$(ls out1 2>&1 >/dev/null | wc -l)" "cannot open file||255|1"
# The mode message ends with a line feed, never a carriage return and one.
check "bad mode, output created empty" "$(run x f o)|$(stat -c %s o)" "$mode||255|0"
check "upper-case mode" "$(run C f o)" "$mode||255"
ln f link
check "output is the input" "$(run c f f)|$(cat f)" "cannot open out file||255|abracadabra"
check "output is a hard link to the input" "$(run c f link)|$(cat f)" "cannot open out file||255|abracadabra"
mkdir folder
check "directory as input" "$(run c folder o)" "cannot open file||255"
check "directory as output" "$(run c f folder)" "cannot open out file||255"
printf '\377\377\377\377' >negative
check "damaged file" "$(run d negative o)|$(stat -c %s o)" "damaged file: negative length||255|0"

# Each failing run takes exactly one byte of its standard input.
printf 'kq' >keys
check "the wait takes one byte" "$( { wine "$exe" c missing o; cat; } <keys 2>/dev/null)" "cannot open fileq"

# A run that is writing its output holds it: another run can neither write
# it nor read it until it is done.
mkfifo slow
(wine "$exe" c slow held </dev/null >/dev/null 2>&1) &
exec 3>slow
sleep 2
check "output held by a running run" "$(run c f held)" "cannot open out file||255"
check "input that a run is writing" "$(run c held o)" "cannot open file||255"
printf 'hello' >&3
exec 3>&-
wait
check "the first run completes" "$(run d held back)|$(cat back)" "||0|hello"

# Ctrl-C (wine turns SIGINT into it) ends a run as Ctrl-C does, and leaves
# the output empty, or complete if it was already: never a part of it. The
# later runs are stopped as soon as their output starts to grow.
head -c 48M /dev/urandom >big
run c big whole >/dev/null
stopped=0
for i in 1 2 3 4; do
    rm -f out
    wine "$exe" c big out </dev/null >/dev/null 2>&1 &
    pid=$!
    if [ "$i" = 1 ]; then sleep 0.3; else
        for _ in $(seq 20000); do [ -s out ] && break; done
    fi
    kill -INT "$pid" 2>/dev/null
    wait "$pid"
    status=$?
    if [ "$status" = 0 ] || cmp -s out whole; then outcome=complete; else outcome="$status, $(stat -c %s out) bytes"; fi
    [ "$outcome" = complete ] || { check "Ctrl-C, try $i" "$outcome" "58, 0 bytes"; stopped=$((stopped + 1)); }
done
check "Ctrl-C stops a run at all" "$([ $stopped -gt 0 ] && echo yes)" "yes"

# Names outside the ANSI code page, and the same compressed bytes as Linux.
cp "$here/data/corpus/alice29.txt" 'ü文件.txt'
check "non-ANSI names" "$(run c 'ü文件.txt' 'packed€.vemk')|$(run d 'packed€.vemk' 'back文件')" "||0|||0"
check "non-ANSI round trip" "$(cmp 'ü文件.txt' 'back文件' && echo same)" "same"
while read -r hash name; do
    original=$here/data/corpus/${name%.vemk}
    run c "$original" "$name" >/dev/null
    check "corpus $name" "$(sha256sum "$name" | cut -d' ' -f1)" "$hash"
    run d "$name" restored >/dev/null
    check "corpus $name restored" "$(cmp "$original" restored && echo same)" "same"
done <"$here/data/corpus.vemk.sha256"

echo "windows command line: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
