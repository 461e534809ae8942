#!/bin/sh
# check-install.sh BUILD-DIR C-COMPILER C-FLAGS [EMULATOR...]
# Installs the build into a scratch prefix and builds the C service svc.c,
# which calls both libraries, three or four ways: with pkg-config from the
# installed files, with find_package(zttools) from the installed CMake
# package, with pkg-config from the build tree (the -uninstalled files) and,
# when ZT_CHECK_SUBDIRECTORY is set, with add_subdirectory of the source
# tree; each is run in a private /tmp, under EMULATOR when one is given. An
# install under /usr (into a staging directory) must give pkg-config plain
# system directories.
set -eu
build=$(cd "$1" && pwd) cc=$2 cflags=$3
shift 3
emulator="$*"
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "$build/install-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# run NAME PROGRAM LIBDIR...: the program in a private /tmp, from its own
# directory (which the private /tmp may hide when the build lies under /tmp).
run() {
    name=$1 dir=$(dirname "$2") program=./$(basename "$2")
    shift 2
    libs=$(for lib; do realpath --relative-to="$dir" "$lib"; done | paste -sd:)
    if ! unshare --mount true 2>/dev/null; then
        echo "SKIP: no private /tmp available for the installed service"
        exit 0
    fi
    out=$(cd "$dir" && LD_LIBRARY_PATH=$libs unshare --mount sh -c \
        'mount --make-rprivate / && mount -t tmpfs zt-install /tmp && exec "$@"' \
        sh ${emulator:+$emulator} "$program") || fail "$name: the service failed: $out"
    echo "$name: $out"
}

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name zttools.pc)
[ -n "$pc" ] || fail "zttools.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
for file in include/zttools.h include/ztsvc.h share/man/man7/zttools.7 \
        share/man/man3/zttools_restart.3 share/man/man3/restart_accept.3 \
        "${libdir#"$prefix/"}/cmake/zttools/zttoolsConfig.cmake"; do
    [ -f "$prefix/$file" ] || fail "not installed: $file"
done
case $libdir in
*/lib/*-linux-gnu*) ;;
*) fail "libraries installed in $libdir, not in a multiarch directory" ;;
esac

# shellcheck disable=SC2086
build_c() { "$cc" $cflags -std=c99 -D_DEFAULT_SOURCE -Wall -Wextra -pedantic -Werror "$@"; }

# pkg-config, installed.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
build_c -o "$scratch/svc-pc" "$here/svc.c" $(pkg-config --cflags --libs zttools ztsvc)
run pkg-config "$scratch/svc-pc" "$libdir"
# A service that calls only zttools.h names zttools alone.
printf '#include <zttools.h>\nint main(void) { return Zttools_Init(NULL); }\n' >"$scratch/only.c"
# shellcheck disable=SC2046
build_c -o "$scratch/only" "$scratch/only.c" $(pkg-config --cflags --libs zttools) ||
    fail "a program of zttools alone does not link with pkg-config zttools"

# find_package, installed.
cmake -S "$here" -B "$scratch/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" >/dev/null ||
    fail "find_package(zttools) failed"
cmake --build "$scratch/consumer" >/dev/null || fail "the find_package build failed"
run find_package "$scratch/consumer/svc" "$libdir"

# add_subdirectory of the source tree: the same targets, no tools or tests.
# It builds the libraries once more (unoptimised: they are only run once).
if [ -n "${ZT_CHECK_SUBDIRECTORY:-}" ]; then
    sub=$scratch/subdirectory
    cmake -S "$here" -B "$sub" -G Ninja -DZT_SOURCE_DIR="$here/../.." -DCMAKE_BUILD_TYPE=None \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cflags" \
        >"$sub.log" 2>&1 || fail "add_subdirectory: $(cat "$sub.log")"
    cmake --build "$sub" --target svc >/dev/null || fail "the add_subdirectory build failed"
    run add_subdirectory "$sub/svc" "$sub/zttools/src/lib/zttools" "$sub/zttools/src/lib/ztsvc"
fi

# pkg-config, build tree.
export PKG_CONFIG_PATH="$build/pkgconfig"
# shellcheck disable=SC2046
build_c -o "$scratch/svc-uninstalled" "$here/svc.c" $(pkg-config --cflags --libs zttools ztsvc)
# shellcheck disable=SC2046
build_c -o "$scratch/only-uninstalled" "$scratch/only.c" $(pkg-config --cflags --libs zttools) ||
    fail "a program of zttools alone does not link with pkg-config zttools-uninstalled"
run uninstalled "$scratch/svc-uninstalled" "$(pkg-config --variable=libdir zttools)" \
    "$(pkg-config --variable=libdir ztsvc)"

# Under /usr: plain system directories, which pkg-config leaves out.
DESTDIR=$scratch/staging cmake --install "$build" --prefix /usr >/dev/null
export PKG_CONFIG_PATH="$scratch/staging/usr${libdir#"$prefix"}/pkgconfig"
flags=$(pkg-config --cflags --libs zttools ztsvc)
[ "$(echo $flags)" = "-lzttools -lztsvc" ] || fail "installed under /usr, pkg-config gives: $flags"
echo "under /usr: $flags"
