#!/bin/sh
# Mutation testing: applies each planted fault of tests/mutants/*.txt, one
# at a time, to a copy of the sources, rebuilds the sanitizer build of that
# copy incrementally, runs the test programs of the mutant's family and
# reports which faults the tests catch (killed) and which they miss
# (survived), with the kill rate per family. Slow: run it on demand.
#
#   scripts/mutate.sh [-t SECS] [-d NAME] [FAMILY|ID ...]
#                                run all, some families or some mutants
#   scripts/mutate.sh --check    only report stale mutants (no build)
#   scripts/mutate.sh --list     list the mutants
#   scripts/mutate.sh --summary [RESULTS.tsv ...]
#                                the report of earlier runs, taken together
#
# The format of the lists is described in tests/mutants/README. A mutant
# whose original text is no longer found exactly once is reported "stale",
# so that the list can be refreshed after the sources change. A mutant that
# does not compile is reported "unbuildable" and counts in no rate. The kill
# rate counts the mutants that change promised behaviour ("promised"); those
# marked "equiv" (equivalent, or changing only what the interface leaves
# open) are run and shown apart.
#
# Work happens under build/mutate, or build/NAME with -d (tree/ the copy of
# the sources, build/ its build, log/ the output of each mutant, results.tsv
# the outcome), so that two runs of different families may go side by side;
# the working tree and the other build directories are never touched.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
work=$root/build/mutate
timeout=120
mode=run
while [ $# -gt 0 ]; do
    case $1 in
    -t) timeout=$2; shift 2 ;;
    -d) work=$root/build/$2; shift 2 ;;
    --summary) mode=summary; shift ;;
    --check) mode=check; shift ;;
    --list) mode=list; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    --) shift; break ;;
    -*) echo "mutate.sh: unknown option $1" >&2; exit 64 ;;
    *) break ;;
    esac
done
tree=$work/tree
bdir=$work/build

# The test programs that exercise each family; others run them all.
tests_of() {
    case $1 in
    array|atob|confine|cqueue|dump|files|hash|io|msgqueue|netif|restart|sockbuf|str|tree)
        echo "test_$1" ;;
    list) echo "test_list test_hash" ;;
    ztuds_daemon) echo "test_daemon" ;;
    ztsvc) echo "test_ztsvc test_daemon test_restart" ;;
    module) echo "tcl_load test_files" ;;
    tools) echo "test_tools" ;;
    demo_service) echo "test_demo_service" ;;
    *) echo "" ;;
    esac
}

# mutants.py-like helper: lists the mutants (tab-separated: id family class
# kind file description) or applies one to a tree (exit 3 when stale).
mutants() {
    python3 - "$root/tests/mutants" "$@" <<'PY'
import os, sys
folder, command, args = sys.argv[1], sys.argv[2], sys.argv[3:]

def parse(path):
    family = os.path.basename(path)[:-4]
    with open(path) as f:
        lines = f.read().split('\n')
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.startswith('@@ '):
            continue
        fields = line[3:].split()
        if len(fields) != 4:
            sys.exit(f'{path}:{i}: want "@@ ID KIND CLASS FILE"')
        mid, kind, cls, file = fields
        if cls not in ("promised", "equiv"):
            sys.exit(f'{path}:{i}: class must be promised or equiv')
        desc = lines[i]; i += 1
        if lines[i] != '<<<':
            sys.exit(f'{path}:{i + 1}: want <<<')
        j = lines.index('===', i + 1)
        k = lines.index('>>>', j + 1)
        yield dict(id=mid, family=family, kind=kind, cls=cls, file=file, desc=desc,
                   old='\n'.join(lines[i + 1:j]), new='\n'.join(lines[j + 1:k]))
        i = k + 1

every = [m for name in sorted(os.listdir(folder)) if name.endswith('.txt')
         for m in parse(os.path.join(folder, name))]
ids = [m['id'] for m in every]
twice = {x for x in ids if ids.count(x) > 1}
if twice:
    sys.exit('mutant ids used twice: ' + ' '.join(sorted(twice)))

if command == 'list':
    wanted = set(args)
    for m in every:
        if not wanted or m['id'] in wanted or m['family'] in wanted:
            print('\t'.join(m[k] for k in ('id', 'family', 'cls', 'kind', 'file', 'desc')))
elif command == 'apply':  # apply ID TREE [--dry]
    m = every[ids.index(args[0])]
    path = os.path.join(args[1], m['file'])
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        sys.exit(3)
    if text.count(m['old']) != 1:
        sys.exit(3)
    if len(args) < 3:
        with open(path, 'w') as f:
            f.write(text.replace(m['old'], m['new']))
PY
}

# The report of the results files named: kill rates, survivors, stale ones.
report() {
    echo
    echo "== kill rate per family (mutants that change promised behaviour)"
    summary() {
        awk -F'\t' -v name="$1" '
            { c[$3, $4]++ }
            END {
                k = c["promised", "killed"]; s = c["promised", "survived"]
                rate = k + s ? sprintf("%5.1f%%", 100 * k / (k + s)) : "    -"
                printf "%-13s %s  killed %3d  survived %3d  stale %3d  unbuildable %3d" \
                       "  | equiv: killed %d survived %d\n", name, rate, k, s,
                       c["promised", "stale"] + c["equiv", "stale"],
                       c["promised", "unbuildable"] + c["equiv", "unbuildable"],
                       c["equiv", "killed"], c["equiv", "survived"]
            }'
    }
    for family in $(cut -f2 "$@" | sort -u); do
        awk -F'\t' -v f="$family" '$2 == f' "$@" | summary "$family"
    done
    cat "$@" | summary ALL
    echo
    echo "== survivors"
    awk -F'\t' '$4 == "survived" { printf "%-12s %-5s %-12s %s\n", $1, $3, $2, $6 }' "$@"
    echo "== stale"
    awk -F'\t' '$4 == "stale" { printf "%-12s %s\n", $1, $6 }' "$@"
}

if [ "$mode" = summary ]; then
    report "${@:-$work/results.tsv}"
    exit 0
fi

if [ "$mode" = list ]; then
    mutants list "$@"
    exit 0
fi
# A new list is written beside the file that a running run reads; a check
# keeps its own, so that it never changes what a running run works through.
mkdir -p "$work/log"
list=$work/selected.tsv
[ "$mode" = check ] && list=$work/checked.tsv
mutants list "$@" >"$list.new"
mv "$list.new" "$list"
if [ ! -s "$list" ]; then
    echo "mutate.sh: no mutant matches: $*" >&2
    exit 64
fi
if [ "$mode" = check ]; then
    stale=0
    while IFS="$(printf '\t')" read -r id family cls kind file desc; do
        if ! mutants apply "$id" "$root" --dry; then
            echo "stale $id $file: $desc"
            stale=$((stale + 1))
        fi
    done <"$list"
    echo "$(wc -l <"$list") mutants, $stale stale"
    exit 0
fi

# The copy of the sources: files that differ are copied with a new time, so
# that the incremental build sees every change (a restored file too).
echo "== syncing sources to $tree"
git ls-files -co --exclude-standard | while read -r f; do
    [ -f "$f" ] || continue
    if ! cmp -s "$f" "$tree/$f" 2>/dev/null; then
        mkdir -p "$tree/$(dirname "$f")"
        cp "$f" "$tree/$f"
    fi
done
if [ ! -f "$bdir/build.ninja" ]; then
    (cd "$tree" && cmake --preset asan -B "$bdir" -DCMAKE_LINK_DEPENDS_NO_SHARED=ON >/dev/null)
fi
# ctest's --timeout gives way to a test's own TIMEOUT: lower that too.
cmake -S "$tree" -B "$bdir" -DZT_TEST_TIMEOUT="$timeout" >/dev/null
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Rebuilds and runs the tests of a family; output to $1.
build_and_test() {
    log=$1 family=$2
    if ! nice -n 15 cmake --build "$bdir" </dev/null >"$log.build" 2>&1; then
        return 2
    fi
    regex=
    for t in $(tests_of "$family"); do regex="$regex${regex:+|}$t"; done
    nice -n 15 ctest --test-dir "$bdir" --timeout "$timeout" ${regex:+-R "^($regex)\$"} \
        </dev/null >"$log" 2>&1 || return 1
}

echo "== baseline"
families=$(cut -f2 "$list" | sort -u)
for family in $families; do
    if ! build_and_test "$work/log/baseline-$family" "$family"; then
        echo "mutate.sh: the unmutated tests of $family fail: see $work/log/baseline-$family*" >&2
        exit 1
    fi
done

mutated=
restore() {
    if [ -n "$mutated" ]; then
        cp "$work/original" "$tree/$mutated"
        mutated=
    fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

results=$work/results.tsv
: >"$results"
total=$(wc -l <"$list")
n=0
while IFS="$(printf '\t')" read -r id family cls kind file desc; do
    n=$((n + 1))
    log=$work/log/$id
    outcome=
    if ! mutants apply "$id" "$tree" --dry; then
        outcome=stale
    else
        cp "$tree/$file" "$work/original"
        mutated=$file
        mutants apply "$id" "$tree"
        if build_and_test "$log" "$family"; then
            outcome=survived
        else
            case $? in
            2) outcome=unbuildable ;;
            *) outcome=killed ;;
            esac
        fi
        restore
    fi
    by=
    [ "$outcome" = killed ] && by=$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' "$log" | sort -u | tr '\n' ' ')
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$id" "$family" "$cls" "$outcome" "$kind" "$desc" >>"$results"
    printf '[%d/%d] %-12s %-11s %-5s %s%s\n' "$n" "$total" "$id" "$outcome" "$cls" "$desc" \
        "${by:+  (by $by)}"
done <"$list"

# The last build holds a restored tree again.
nice -n 15 cmake --build "$bdir" >/dev/null 2>&1 || true
report "$results"
