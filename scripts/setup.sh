#!/bin/sh
# Installs what building and testing zttools needs, where it is missing.
set -eu
packages="cmake ninja-build g++ g++-multilib clang libclang-rt-14-dev qemu-user googletest
libgtest-dev libbenchmark-dev tcl iproute2 binutils pkg-config gcovr util-linux"
packages="$packages mandoc abigail-tools python3 libglib2.0-dev gnuplot-nox"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "setup: installing$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root to install the missing packages" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
