#!/bin/sh
# Checks the example service's systemd unit with systemd-analyze verify, its
# ExecStart pointed at the built program: any message is a failure.
#   check-unit.sh UNIT PROGRAM        exit 77: no systemd-analyze here
set -eu
unit=$1 program=$2
command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# An instance of the template, as systemctl start demo_service@check would make.
sed "s|/usr/local/bin/demo_service|$program|" "$unit" >"$dir/demo_service@check.service"
output=$(cd "$dir" && systemd-analyze verify --man=no ./demo_service@check.service 2>&1) || {
    echo "$output"; exit 1; }
[ -z "$output" ] || { echo "$output"; exit 1; }
echo "unit verified"
