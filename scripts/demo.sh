#!/bin/sh
# The main job: builds the release configuration, starts the example
# service and drives it end to end with the peer tools, printing each step:
# a property check, a restart request, an event, a queue message, commands
# through the command server, the shut-down, and a peer against the service
# once it is gone. It runs in a private /tmp and System V IPC (when
# namespaces are available), so that it never meets the sockets and queues
# of services that really run on this machine.
set -eu
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--steps" ]; then
    scripts/setup.sh
    cmake --preset release >/dev/null
    cmake --build --preset release >/dev/null
    if unshare --mount --ipc true 2>/dev/null; then
        exec unshare --mount --ipc sh -c \
            'mount --make-rprivate / && mount -t tmpfs zt-demo /tmp && exec "$0" --steps' "$0"
    fi
    echo "demo: no private /tmp available; running in the real /tmp" >&2
    exec "$0" --steps
fi

bin=build/release
name=demo
step() {
    echo
    echo "demo\$ $*"
    status=0
    "$@" || status=$?
    echo "demo: exit status $status"
}

cat >/tmp/demo_service.conf <<'EOF'
# properties this service uses: STR1 STR2 STR3 ("-" absent, "*" any)
interface eth1 *
route - *
EOF
echo "demo: starting the example service $name (heartbeat every 2 s)"
"$bin/examples/demo_service" --idle 2 --config /tmp/demo_service.conf "$name" &
service=$!
for _ in $(seq 100); do
    [ -S "/tmp/restart_uds/$name" ] && break
    sleep 0.1
done

step "$bin/tools/ztrestart" "$name" check dns - - 0 interface eth1 up 1
step "$bin/tools/ztrestart" "$name" check dns - - 0
step "$bin/tools/ztrestart" "$name" request
step "$bin/tools/ztrestart" "$name" event 7 link eth1 down
step "$bin/tools/ztmsg" send "$name" 5 "hello from the demo"
sleep 2.5 # the service takes its messages at the next heartbeat
step "$bin/tools/ztcmd" "$name" status
step "$bin/tools/ztcmd" "$name" stats
step "$bin/tools/ztcmd" "$name" stop
wait "$service"
echo "demo: the service ended with status $?"
step "$bin/tools/ztrestart" --timeout 2 "$name" request
echo
echo "demo: done"
