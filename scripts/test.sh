#!/bin/sh
# Builds and runs every test: x86_64 and i386 under the sanitizers, i386
# uninstrumented (natively where the kernel runs i386 programs, else under
# qemu), the uninstrumented release build (exports, install, benchmarks
# build), and a bounded run of every fuzz target.
#   scripts/test.sh [PRESET...]    presets: asan i386-asan i386 release fuzz
#                                  (and i386-qemu: i386 under qemu anyway)
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
presets=${*:-asan i386-asan i386 release fuzz}
for preset in $presets; do
    echo "==== $preset"
    log=$(cmake --preset "$preset") || { echo "$log"; exit 1; }
    echo "$log" | sed -n 's/^-- zttools: //p'
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
echo "==== all tests passed: $presets"
