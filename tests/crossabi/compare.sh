#!/bin/sh
# compare.sh CORPUS OUTPUT-DIR DRIVER-A DRIVER-B [EMULATOR WORD...]
# Runs the driver of each target on the corpus (the first under the
# emulator words, when given, and then without the whole-range sweep, which
# would take far too long emulated) and fails unless the two outputs are
# byte-identical.
set -eu
corpus=$1 out=$2 first=$3 second=$4
shift 4
quick=
[ $# -gt 0 ] && quick=--quick
"$@" "$first" $quick "$corpus" >"$out/first.out"
"$second" $quick "$corpus" >"$out/second.out"
if ! cmp -s "$out/first.out" "$out/second.out"; then
    echo "the outputs differ ($first, then $second):"
    diff "$out/first.out" "$out/second.out" || true
    exit 1
fi
echo "identical: $(wc -l <"$out/first.out") cases${quick:+ (without the sweep: emulated)}"
grep '^sweep' "$out/first.out" || true
