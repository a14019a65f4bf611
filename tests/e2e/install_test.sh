#!/bin/sh
# Install into a prefix inside the build tree (not a system one) and check
# what a user of the library finds there; build C programs against it the way
# the README says (pkg-config, strict C99, the library directory as rpath) and
# run them under the installed bbusim without LD_LIBRARY_PATH: a checked
# status read, the same through the installed bbu-i2cd, two VPD code-level
# updates (the first torn), and three flash loads (a load, the same image
# again: 24, a bad CRC: 5). What they print, the status read's transcript and
# trace log are compared with GOLDEN (BBU_GOLDEN_UPDATE=1 rewrites it).
#
# usage: install_test.sh BUILD_DIR WORK_DIR SOURCE_DIR SONAME GOLDEN
set -eu
build=$1 work=$2 src=$3 soname=$4 golden=$5
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix libdir=$work/prefix/lib
"${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >"$work/install.log" ||
    fail "cmake --install failed: $(cat "$work/install.log")"

for f in "$libdir/$soname" "$libdir/libbbu.so" "$libdir/libbbu.a" "$prefix/include/bbu/bbu.h" \
    "$prefix/include/bbu/i2c.h" "$libdir/pkgconfig/bbu.pc" "$libdir/cmake/bbu/bbuConfig.cmake" \
    "$libdir/cmake/bbu/bbuConfigVersion.cmake" "$libdir/systemd/system/bbu-i2cd.socket" \
    "$prefix/share/bbu/ansible/rollout.yml" "$prefix/share/bbu/ansible/galaxy.yml" \
    "$libdir/bbu/libbbusim.so" "$libdir/bbu/libbbusim-record.so"; do
    [ -e "$f" ] || fail "not installed: $f"
done
readelf -d "$libdir/$soname" | grep -q "Library soname: \[$soname\]" || fail "SONAME is not $soname"
[ "$(readlink "$libdir/libbbu.so")" = "$soname" ] || fail "libbbu.so does not link to $soname"
grep -qxF "ExecStart=$prefix/sbin/bbu-i2cd --systemd-socket --group bbu" "$libdir/systemd/system/bbu-i2cd.service" ||
    fail "bbu-i2cd.service does not start the installed daemon"
for man in man3/libbbu.3 man8/bbu-i2cd.8; do
    warnings=$(groff -man -ww -z "$prefix/share/man/$man" 2>&1) || fail "groff cannot read $man"
    [ -z "$warnings" ] || fail "groff warns about $man: $warnings"
done
MANWIDTH=80 man -l "$prefix/share/man/man3/libbbu.3" 2>&1 | grep -q '^BUILDING AGAINST THE LIBRARY$' ||
    fail "man -l libbbu.3 did not render"

# Nothing but what pkg-config says; without the rpath the library is not found.
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
flags=$(pkg-config --cflags --libs bbu) || fail "pkg-config does not know bbu"
case $flags in
*"-I$prefix/include"*"-L$libdir"*) ;;
*) fail "pkg-config flags do not point into the prefix: $flags" ;;
esac
[ "$(pkg-config --variable=libdir bbu)" = "$libdir" ] || fail "pkg-config libdir is not $libdir"
cc() {
    # shellcheck disable=SC2086 # the flags are words
    "${CC:-cc}" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/$1" "$2" $flags ${3:+"$3"} ||
        fail "$2 does not build against the installed library"
}
cc no_rpath "$src/tests/e2e/status_client.c"
env -u LD_LIBRARY_PATH ldd "$work/no_rpath" | grep -q "$soname => not found" ||
    fail "$soname found without an rpath: the prefix is not a private one"
for c in status_client daemon_status_client vpd_client; do
    cc $c "$src/tests/e2e/$c.c" -Wl,-rpath,"$libdir"
done
cc flash_loader "$src/bench/flash_loader.c" -Wl,-rpath,"$libdir"
"$prefix/bin/bbusim-mkimage" -v 6 "$work/new.img"
"$prefix/bin/bbusim-mkimage" -v 6 -c crc "$work/bad.img"

sim() { # NAME SCENARIO COMMAND...: its streams and exit status in the session
    name=$1 scn=$2
    shift 2
    echo "run| $name"
    set +e
    env -u LD_LIBRARY_PATH "$prefix/bin/bbusim" --root "$work/$name.root" --transcript "$work/$name.t" \
        ${scn:+--scenario "$src/tests/data/$scn"} -- "$@" >"$work/out" 2>"$work/err"
    echo "exit| $?"
    set -e
    sed 's/^/out| /' "$work/out"
    sed 's/^/err| /' "$work/err"
}
# The daemon serves root and the group of whoever runs the test; the client
# waits until it says it listens (the socket file appears before that).
# shellcheck disable=SC2016 # expanded by the inner shell
{
    sim status_client install_status.scn "$work/status_client"
    # The adapter's number depends on the descriptors the test runner hands down.
    sed -E 's/^/bus| /; s/(open .* -> |close )[0-9]+$/\1FD/' "$work/status_client.t"
    sed -E 's/^[0-9-]{10} [0-9:]{8}\.[0-9]+ /log| /; t; s/^/log+ /' "$work/status_client.root/opt/Logs/bbu/logs/BBU.log"
    sim daemon install_status.scn sh -c '"$1" --group "$(id -g)" 2>"$3" & daemon=$!
        i=0; until grep -q "listening on" "$3" 2>/dev/null || [ $((i += 1)) -gt 100000 ]; do :; done
        "$2"; status=$?; kill -TERM $daemon && wait $daemon && exit $status' \
        sh "$prefix/sbin/bbu-i2cd" "$work/daemon_status_client" "$work/daemon.log"
    sed 's/^/daemon| /' "$work/daemon.log"
    sim vpd_client vpd_torn_head.scn "$work/vpd_client"
    sim flash_loader "" "$work/flash_loader" "$work/new.img" "$work/new.img" \
        "$work/bad.img"
    echo "flash block records| $(grep -c ' write 0x60 134 : 8f ' "$work/flash_loader.t")"
} | sed "s|$work|WORK|g" >"$work/session"
[ -z "${BBU_GOLDEN_UPDATE:-}" ] || cp "$work/session" "$golden"
diff -u "$golden" "$work/session" >"$work/diff" || {
    head -40 "$work/diff" >&2
    fail "the session differs from $golden"
}
