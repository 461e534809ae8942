#!/bin/sh
# check-abidiff.sh LIBRARY BASELINE
# Fails when the exported functions and data objects of LIBRARY differ from
# the committed ABI description BASELINE (abidw XML) in any way that
# abidiff sees: a signature, a record's layout or size, a symbol or its
# version. Each ABI has its own baseline (records differ between i386 and
# x86_64). After a change made on purpose, rebuild and write the baseline
# anew from the release (x86_64) or i386 build:
#     abidw --no-corpus-path --out-file tests/abi/libzttools.ABI.abi LIBRARY
set -eu
library=$1 baseline=$2
status=0
abidiff --no-show-locs --no-redundant "$baseline" "$library" || status=$?
if [ $status -ne 0 ]; then
    echo "the ABI of $library differs from $baseline (abidiff status $status)"
    echo "if the change is intended, write the baseline anew (see tests/abi/check-abidiff.sh)"
    exit 1
fi
echo "ABI as in $(basename "$baseline")"
