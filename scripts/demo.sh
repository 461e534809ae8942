#!/bin/sh
# The main job: builds the release configuration and runs the demo in a
# private /tmp (when namespaces are available), so that it never meets the
# sockets of services that really run on this machine.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
demo=build/release/examples/restart_demo
if unshare --mount true 2>/dev/null; then
    exec unshare --mount sh -c 'mount --make-rprivate / && mount -t tmpfs zt-demo /tmp && exec "$0"' "$demo"
fi
echo "demo: no private /tmp available; running in the real /tmp" >&2
exec "$demo"
