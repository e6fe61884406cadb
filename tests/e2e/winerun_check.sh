#!/usr/bin/env bash
# scripts/winerun never lets a test program fail without a word: a copy that
# Wine cannot start (its PE signature broken) ends with a failure and the
# lines that say why; the program itself runs through it unchanged.
# Arguments: the folder to work in, a test program of this tree.
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
dir=$1/winerun-check
program=$2
rm -rf "$dir"
mkdir -p "$dir"
fail=0
no() { echo "FAILED: $*"; fail=1; }

cp "$program" "$dir/broken_tests.exe"
pe=$(od -An -t u4 -j 60 -N 4 "$program" | tr -d ' ')
printf 'XX' | dd of="$dir/broken_tests.exe" bs=1 seek="$pe" conv=notrunc 2>/dev/null
out=$("$here/scripts/winerun" "$dir/broken_tests.exe" 2>&1)
rc=$?
[ "$rc" -ne 0 ] || no "a program that did not start ended with 0"
grep -q "^winerun: .*broken_tests.exe did not start: Wine's status $rc\$" <<<"$out" || no "no word of the failed start: $out"
grep -q '^winerun: a start of cmd.exe now: status ' <<<"$out" || no "no probe of Wine: $out"

out=$("$here/scripts/winerun" "$program" --gtest_list_tests 2>&1)
rc=$?
[ "$rc" -eq 0 ] || no "the program failed through winerun: $rc: $out"
grep -q 'winerun:' <<<"$out" && no "winerun spoke of a program that ran: $out"
[ $fail -eq 0 ] && echo "1 passed, 0 failed"
exit $fail
