#!/bin/sh
# Builds and runs every test: x86_64 under the sanitizers, i386 under qemu,
# the uninstrumented release build (exports, install, benchmarks build),
# and a bounded run of every fuzz target.
#   scripts/test.sh [PRESET...]    presets: asan i386 release fuzz
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
presets=${*:-asan i386 release fuzz}
for preset in $presets; do
    echo "==== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
echo "==== all tests passed: $presets"
