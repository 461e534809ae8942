#!/bin/sh
# The main job: builds what the demo needs (the library, the example service
# and the tools, release configuration), starts the example service and
# drives it end to end with the peer tools, printing each step with the exit
# status it is expected to end with and why: a property check, a restart
# request, an event, a queue message, commands through the command server,
# the shut-down, and a peer against the service once it is gone. It runs in
# a private /tmp and System V IPC (when namespaces are available), so that
# it never meets the sockets and queues of services that really run on this
# machine; a checkout under /tmp is mounted again at its own path inside.
# It works from any directory. Exit status 0 when every step ended as
# expected, 1 otherwise.
set -eu
root=$(cd -P "$(dirname "$0")/.." && pwd)
cd "$root"

if [ "${1:-}" != "--steps" ]; then
    scripts/setup.sh
    echo "demo: configuring the release build in build/release"
    cmake --preset release >/dev/null
    echo "demo: building the library, the example service and the tools (a minute the first time)"
    log=$(mktemp)
    { cmake --build --preset release --target demo_service ztrestart ztcmd ztmsg >"$log" 2>&1 &&
          echo ok >>"$log"; } &
    builder=$!
    # Progress: the build's step counter, every few seconds when it moved.
    shown=""
    while kill -0 "$builder" 2>/dev/null; do
        sleep 3
        progress=$(grep -o '^\[[0-9]*/[0-9]*\]' "$log" | tail -n 1)
        if [ -n "$progress" ] && [ "$progress" != "$shown" ]; then
            echo "demo:   build step $progress"
            shown=$progress
        fi
    done
    wait "$builder" || true
    if [ "$(tail -n 1 "$log")" != ok ]; then
        cat "$log" >&2
        rm -f "$log"
        echo "demo: the build failed" >&2
        exit 1
    fi
    rm -f "$log"
    if unshare --mount --ipc true 2>/dev/null; then
        # The private /tmp hides a checkout under /tmp: the checkout (the
        # shell's working directory) is mounted again at its own path.
        exec unshare --mount --ipc sh -c '
            mount --make-rprivate / && mount -t tmpfs zt-demo /tmp || exit 1
            case $0 in
            /tmp/*) mkdir -p "$0" && mount --no-canonicalize --bind /proc/self/cwd "$0" || exit 1 ;;
            esac
            exec "$0/scripts/demo.sh" --steps' "$root"
    fi
    echo "demo: no private /tmp available; running in the real /tmp" >&2
    exec "$root/scripts/demo.sh" --steps
fi

bin=build/release
name=demo
unexpected=0
# step EXPECTED WHY COMMAND...: runs one step and says whether its exit
# status is the expected one.
step() {
    expected=$1 why=$2
    shift 2
    echo
    echo "demo\$ $*"
    status=0
    "$@" || status=$?
    if [ "$status" -eq "$expected" ]; then
        echo "demo: exit status $status, as expected: $why"
    else
        echo "demo: exit status $status, UNEXPECTED (expected $expected: $why)"
        unexpected=$((unexpected + 1))
    fi
}

cat >/tmp/demo_service.conf <<'CONF'
# properties this service uses: STR1 STR2 STR3 ("-" absent, "*" any)
interface eth1 *
route - *
CONF
echo "demo: starting the example service $name (heartbeat every 2 s)"
"$bin/examples/demo_service" --idle 2 --config /tmp/demo_service.conf "$name" &
service=$!
for _ in $(seq 100); do
    [ -S "/tmp/restart_uds/$name" ] && break
    sleep 0.1
done

step 1 "a check's status is the service's reply; 1: the property 'interface eth1' concerns it" \
    "$bin/tools/ztrestart" "$name" check dns - - 0 interface eth1 up 1
step 0 "reply 0: no property of this check concerns the service" \
    "$bin/tools/ztrestart" "$name" check dns - - 0
step 0 "the service reloaded its configuration (reply 3)" \
    "$bin/tools/ztrestart" "$name" request
step 0 "the service logged the event and answered 0" \
    "$bin/tools/ztrestart" "$name" event 7 link eth1 down
step 0 "the message is in the service's queue" \
    "$bin/tools/ztmsg" send "$name" 5 "hello from the demo"
sleep 2.5 # the service takes its messages at the next heartbeat
step 0 "a built-in command of every service" "$bin/tools/ztcmd" "$name" status
step 0 "a command of the example service: it counted the message" \
    "$bin/tools/ztcmd" "$name" stats
step 0 "the service stops after its reply" "$bin/tools/ztcmd" "$name" stop
wait "$service" && status=0 || status=$?
echo "demo: the service ended with status $status (0 expected)"
[ "$status" -eq 0 ] || unexpected=$((unexpected + 1))
step 69 "no service listens any more (EX_UNAVAILABLE)" \
    "$bin/tools/ztrestart" --timeout 2 "$name" request
echo
if [ "$unexpected" -ne 0 ]; then
    echo "demo: $unexpected steps did not end as expected"
    exit 1
fi
echo "demo: done, every step as expected"
