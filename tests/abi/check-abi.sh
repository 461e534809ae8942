#!/bin/sh
# check-abi.sh LIBRARY SYMBOL-DIR ALLOWED-NEEDED...
# Fails when LIBRARY exports a symbol that is not listed in SYMBOL-DIR/*.syms
# (one name per line, one file per family), misses one that is listed, or
# has a NEEDED entry that is not allowed, or exports one without its version.
set -eu
library=$1 symbols=$2
shift 2
status=0
want=$(mktemp) have=$(mktemp)
trap 'rm -f "$want" "$have"' EXIT
grep -hv '^#' "$symbols"/*.syms | sed '/^$/d' | sort -u >"$want"
# Sanitizer builds add their own instrumentation symbols; they are not ours.
# Every export carries the version node ZTTOOLS_1.0 (nm shows NAME@@NODE).
nm -D --defined-only "$library" | awk '{print $NF}' |
    grep -Ev '^(__asan|__odr_asan|__ubsan|__sancov|__sanitizer)' | grep -vx 'ZTTOOLS_1\.0' |
    sort -u >"$have"
unversioned=$(grep -v '@@ZTTOOLS_1\.0$' "$have" || true)
if [ -n "$unversioned" ]; then echo "exported without the version ZTTOOLS_1.0:"; echo "$unversioned"; status=1; fi
sed -i 's/@@ZTTOOLS_1\.0$//' "$have"
extra=$(comm -13 "$want" "$have")
missing=$(comm -23 "$want" "$have")
if [ -n "$extra" ]; then echo "exported but not in the interface:"; echo "$extra"; status=1; fi
if [ -n "$missing" ]; then echo "in the interface but not exported:"; echo "$missing"; status=1; fi
for needed in $(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case " $* " in
    *" $needed "*) echo "NEEDED $needed" ;;
    *) echo "NEEDED $needed is not allowed"; status=1 ;;
    esac
done
[ $status -eq 0 ] && echo "exports: $(wc -l <"$have") symbols, as listed"
exit $status
