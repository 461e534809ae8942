#!/bin/sh
# Builds the release configuration for x86_64 and an i386 one, runs every
# benchmark of both in a private /tmp (so that no real service socket is
# touched), each with repetitions, and ends with the table of ratios
# (library / peer, medians) that also goes as a chart to
# build/bench-results/ratios.png.
#   ZT_BENCH_REPETITIONS   repetitions per benchmark (default 5)
#   ZT_BENCH_ABIS          the ABIs to run (default "x86_64 i386")
# Further arguments go to every benchmark program (--benchmark_filter=...).
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
repetitions=${ZT_BENCH_REPETITIONS:-5}
abis=${ZT_BENCH_ABIS:-x86_64 i386}
results=build/bench-results
mkdir -p "$results"
rm -f "$results"/*.json

# The i386 benchmarks need Google Benchmark and GLib for i386 beside the
# x86_64 ones (Debian multiarch); without them they are left out.
i386_ready() {
    for package in libbenchmark-dev:i386 libglib2.0-dev:i386; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            return 1
    done
}
i386_setup() {
    i386_ready && return 0
    [ "$(id -u)" -eq 0 ] || return 1
    echo "bench: installing Google Benchmark and GLib for i386"
    dpkg --add-architecture i386 &&
        apt-get update -q >/dev/null &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            libbenchmark-dev:i386 libglib2.0-dev:i386 >/dev/null
}

# Builds the benchmarks of one ABI and sets dir to its build directory.
build() {
    case $1 in
    x86_64)
        dir=build/release
        cmake --preset release >/dev/null ;;
    i386)
        dir=build/bench-i386
        PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig \
            cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 \
            -DCMAKE_LIBRARY_ARCHITECTURE=i386-linux-gnu \
            -DZT_BUILD_BENCH=ON -DZT_BUILD_TESTS=OFF >/dev/null ;;
    esac
    cmake --build "$dir"
}

ran=""
for abi in $abis; do
    if [ "$abi" = i386 ] && ! i386_setup; then
        echo "bench: no Google Benchmark or GLib for i386 (run as root to install them): i386 left out" >&2
        continue
    fi
    build "$abi"
    for program in "$dir"/bench/bench_*; do
        [ -x "$program" ] || continue
        echo "==== $abi $program"
        unshare --mount --ipc --net --fork sh -c \
            'mount --make-rprivate / && mount -t tmpfs zt-bench /tmp && ip link set lo up && exec "$@"' \
            sh "$program" --benchmark_repetitions="$repetitions" \
            --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
            --benchmark_out="$results/$abi-$(basename "$program").json" \
            --benchmark_out_format=json "$@"
    done
    ran="$ran $abi"
done
# shellcheck disable=SC2086
python3 scripts/bench_ratios.py "$results" $ran
