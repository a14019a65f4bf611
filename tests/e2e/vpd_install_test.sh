#!/bin/sh
# Install the library into a prefix inside the build tree, build vpd_client
# against it with pkg-config (strict C99, the library directory as rpath) and
# run it under bbusim with the scenario that tears its first update's head
# read: that update must stop before any write, the second must write the
# code level with a check byte that reads back right.
#
# usage: vpd_install_test.sh BUILD_DIR WORK_DIR BBUSIM CLIENT_SOURCE SCENARIO
set -eu
rm -rf "$2"
mkdir -p "$2"
"${CMAKE:-cmake}" --install "$1" --prefix "$2/prefix" >"$2/install.log"
PKG_CONFIG_PATH=$2/prefix/lib/pkgconfig
export PKG_CONFIG_PATH
# shellcheck disable=SC2046 # the flags are words
"${CC:-cc}" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$2/vpd_client" "$4" \
    $(pkg-config --cflags --libs bbu) -Wl,-rpath,"$(pkg-config --variable=libdir bbu)"
env -u LD_LIBRARY_PATH "$3" --scenario "$5" --root "$2/root" -- "$2/vpd_client" >"$2/out"
grep -qx "torn update -64, unchanged 1; update 0, read back 0, layout 0, code level 0105A1B7" \
    "$2/out" || { grep -v '^[0-9a-f ]*$' "$2/out"; exit 1; }
echo "installed library: updated the simulated VPD's code level"
