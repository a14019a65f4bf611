#!/bin/sh
# The flash load through the installed library: the benchmark's loader, a C
# program, built with pkg-config against a staged install, loads a
# bbusim-mkimage image into the simulated BBU, loads it again (24: the BBU
# holds it), and tries an image with a bad CRC (5), all in one bbusim run.
# Only the first load may write to 0x60: its 384 flash block records.
#
# usage: flash_load_test.sh BUILD_DIR WORK_DIR LOADER_SOURCE
set -eu

work=$2
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
"${CMAKE:-cmake}" --install "$1" --prefix "$prefix" >"$work/install.log"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2086 # the flags are words
"${CC:-cc}" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/client" "$3" \
    $(pkg-config --cflags --libs bbu) -Wl,-rpath,"$(pkg-config --variable=libdir bbu)"
"$prefix/bin/bbusim-mkimage" -v 6 "$work/new.img"
"$prefix/bin/bbusim-mkimage" -v 6 -c crc "$work/bad.img"

# The loader's status is 1: the last two loads do not return 0.
env -u LD_LIBRARY_PATH "$prefix/bin/bbusim" --root "$work/root" --transcript "$work/transcript" \
    -- "$work/client" "$work/new.img" "$work/new.img" "$work/bad.img" >/dev/null 2>"$work/err" ||
    true
results=$(grep '^processCodeLoad: ' "$work/err" | tr '\n' ' ')
[ "$results" = "processCodeLoad: 0 processCodeLoad: 24 processCodeLoad: 5 " ] ||
    { echo "FAIL: results $results" >&2; exit 1; }
records=$(grep -c ' write 0x60 134 : 8f ' "$work/transcript") || true
[ "$records" -eq 384 ] || { echo "FAIL: $records flash block records, not 384" >&2; exit 1; }
echo "installed library: loaded an image, found it loaded, refused a corrupt one"
