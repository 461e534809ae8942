#!/bin/sh
# check-man.sh MAN-DIR LIBRARY...
# Fails when a manual page under MAN-DIR draws a warning from mandoc's lint,
# or when a function or data object that a LIBRARY exports is named by no
# page (as the argument of .Fn, .Fo, .Nm or .Va).
set -eu
man=$1
shift
status=0
pages=$(find "$man" -path '*/man[1-9]/*' -name '*.[1-9]' | sort)
[ -n "$pages" ] || { echo "no manual pages under $man"; exit 1; }
# shellcheck disable=SC2086
lint=$(mandoc -Tlint -W warning $pages 2>&1) || true
if [ -n "$lint" ]; then echo "$lint"; status=1; fi
named=$(mktemp)
trap 'rm -f "$named"' EXIT
# shellcheck disable=SC2086
grep -h '^\.' $pages | grep -oE '(^\.| )(Fn|Fo|Nm|Va) [A-Za-z_][A-Za-z0-9_]*' |
    awk '{print $2}' | sort -u >"$named"
for library; do
    for symbol in $(nm -D --defined-only "$library" | awk '{print $NF}' | sed 's/@.*//' |
            grep -Ev '^(__asan|__odr_asan|__ubsan|__sancov|__sanitizer|__gcov|ZTTOOLS_)'); do
        grep -qx "$symbol" "$named" ||
            { echo "$(basename "$library"): $symbol is in no manual page"; status=1; }
    done
done
[ $status -eq 0 ] && echo "$(echo "$pages" | wc -l) pages clean; every export named in one"
exit $status
