#!/bin/sh
# check-install.sh BUILD-DIR C-COMPILER
# Installs the build into a scratch prefix, builds a C service against it
# with pkg-config alone and runs it in a private /tmp.
set -eu
build=$1 cc=$2
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d "$(cd "$build" && pwd)/install-check.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name zttools.pc)
export PKG_CONFIG_PATH="$(dirname "$pc")"
libdir=$(pkg-config --variable=libdir zttools)
for file in include/zttools.h include/ztsvc.h; do
    [ -f "$prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done
# shellcheck disable=SC2046
"$cc" -std=c99 -D_DEFAULT_SOURCE -Wall -Wextra -pedantic -Werror -o "$prefix/svc" "$here/svc.c" \
    $(pkg-config --cflags --libs zttools) -lztsvc
export LD_LIBRARY_PATH="$libdir"
if unshare --mount true 2>/dev/null; then
    unshare --mount sh -c 'mount --make-rprivate / && mount -t tmpfs zt-install /tmp && exec "$0"' \
        "$prefix/svc"
else
    echo "SKIP: no private /tmp available for the installed service"
fi
