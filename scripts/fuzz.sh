#!/bin/sh
# Runs every fuzz target for longer than the tests do, one at a time, and
# merges what each found into its committed corpus (only the inputs that
# reach something the corpus did not, so it stays small). Prints per target
# the runs, the coverage reached, the corpus growth and any finding with its
# reproducer.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   default: 180 s each, every target
# A finding is kept under build/fuzz-campaign/TARGET/ and makes the script
# exit 1; replay it with: build/fuzz/fuzz/TARGET REPRODUCER
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-180}
[ $# -gt 0 ] && shift
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
bin=build/fuzz/fuzz
targets=${*:-$(cd fuzz/corpus && ls)}
found=0
printf '%-22s %10s %6s %7s %9s  %s\n' target runs cov ft corpus finding
for target in $targets; do
    work=build/fuzz-campaign/$target
    rm -rf "$work"
    mkdir -p "$work/new" "$work/tmp"
    corpus=fuzz/corpus/$target
    before=$(ls "$corpus" | wc -l)
    # The merge's control files go to TMPDIR, which must be visible to a
    # target that puts a private /tmp over the machine's.
    status=0
    TMPDIR=$PWD/$work/tmp nice -n 15 "$bin/$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" \
        "$work/new" "$corpus" >"$work/log" 2>&1 || status=$?
    TMPDIR=$PWD/$work/tmp nice -n 15 "$bin/$target" -merge=1 -timeout=10 -rss_limit_mb=2048 \
        "$corpus" "$work/new" >"$work/merge.log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    cov=$(grep -o 'cov: [0-9]*' "$work/log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$work/log" | tail -1 | cut -d' ' -f2)
    finding=none
    reproducer=$(ls "$work" | grep -E '^(crash|leak|timeout|oom|slow-unit)-' | head -1 || true)
    if [ "$status" -ne 0 ] || [ -n "$reproducer" ]; then
        found=1
        summary=$(grep -m1 -E '^(SUMMARY|==[0-9]+==ERROR)' "$work/log" || echo "exit status $status")
        finding="$summary; reproducer $work/$reproducer"
    fi
    printf '%-22s %10s %6s %7s %4s->%-4s  %s\n' "$target" "${runs:-?}" "${cov:-?}" "${ft:-?}" \
        "$before" "$(ls "$corpus" | wc -l)" "$finding"
done
exit $found
