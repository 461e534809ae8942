#!/bin/sh
# check-abidiff.sh LIBRARY BASELINE
# check-abidiff.sh --write LIBRARY BASELINE
# Fails when the exported functions and data objects of LIBRARY differ from
# the committed ABI description BASELINE (abidw XML) in any way that
# abidiff sees: a signature, a record's layout or size, a symbol or its
# version. Each ABI has its own baseline, as records differ between i386 and
# x86_64. After a change made on purpose, --write describes the library
# anew into BASELINE (from the release build for x86_64, the i386 build for
# i386); commit it with the change.
set -eu
write=no
[ "$1" = --write ] && { write=yes; shift; }
library=$1 baseline=$2
here=$(cd "$(dirname "$0")/../.." && pwd)
if [ $write = yes ]; then
    # Types only as the public header declares them, without source
    # locations, so that an edit of a comment changes no baseline.
    exec abidw --no-corpus-path --no-show-locs --no-comp-dir-path \
        --headers-dir "$here/src/lib/zttools" --drop-private-types --out-file "$baseline" "$library"
fi
status=0
abidiff --no-show-locs --no-redundant "$baseline" "$library" || status=$?
if [ $status -ne 0 ]; then
    echo "the ABI of $library differs from $baseline (abidiff status $status)"
    echo "if the change is intended, write the baseline anew: $0 --write LIBRARY BASELINE"
    exit 1
fi
echo "ABI as in $(basename "$baseline")"
