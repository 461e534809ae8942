#!/bin/sh
# Builds the release configuration and runs every benchmark in a private
# /tmp, so that no real service socket is touched.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
for program in build/release/bench/bench_*; do
    [ -x "$program" ] || continue
    echo "==== $program"
    unshare --mount --ipc --net --fork sh -c \
        'mount --make-rprivate / && mount -t tmpfs zt-bench /tmp && ip link set lo up && exec "$@"' \
        sh "$program" "$@"
done
