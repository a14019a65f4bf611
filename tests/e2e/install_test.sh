#!/bin/sh
# Install the library into a prefix inside the build tree (not a system one),
# build a C program against it the way the README says (pkg-config, strict
# C99, the library directory as rpath), and run it on the simulated BBU
# without LD_LIBRARY_PATH: it must read and decode the status the scenario
# sets. The libbbu(3) man page must be installed and render cleanly.
#
# Then the access daemon: bbu-i2cd, its man page and systemd files are
# installed, and the daemon serves a second C program that reads the status
# through the library's socket client.
#
# usage: install_test.sh BUILD_DIR WORK_DIR BBUSIM CLIENT_SOURCE SONAME DAEMON_CLIENT_SOURCE
set -eu

build=$1
work=$2
bbusim=$3
client_src=$4
soname=$5
daemon_client_src=$6
cc=${CC:-cc}
cmake=${CMAKE:-cmake}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
    fail "cmake --install failed: $(cat "$work/install.log")"

# What a user of the library finds in the prefix.
libdir=$prefix/lib
for f in "$libdir/$soname" "$libdir/libbbu.so" "$libdir/libbbu.a" \
    "$prefix/include/bbu/bbu.h" "$prefix/include/bbu/i2c.h" \
    "$libdir/pkgconfig/bbu.pc" "$libdir/cmake/bbu/bbuConfig.cmake" \
    "$libdir/cmake/bbu/bbuConfigVersion.cmake" "$prefix/share/man/man3/libbbu.3"; do
    [ -e "$f" ] || fail "not installed: $f"
done
readelf -d "$libdir/$soname" | grep -q "Library soname: \[$soname\]" ||
    fail "SONAME of $libdir/$soname is not $soname"
[ "$(readlink "$libdir/libbbu.so")" = "$soname" ] || fail "libbbu.so does not link to $soname"

man3=$prefix/share/man/man3/libbbu.3
warnings=$(groff -man -ww -z "$man3" 2>&1) || fail "groff cannot read $man3"
[ -z "$warnings" ] || fail "groff warns about $man3: $warnings"
MANWIDTH=80 man -l "$man3" >"$work/man.txt" 2>&1 || fail "man -l $man3 failed: $(cat "$work/man.txt")"
grep -q '^BUILDING AGAINST THE LIBRARY$' "$work/man.txt" || fail "man -l $man3 did not render"

# Build with nothing but what pkg-config says.
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
flags=$(pkg-config --cflags --libs bbu) || fail "pkg-config does not know bbu"
case $flags in
*"-I$prefix/include"*"-L$libdir"*) ;;
*) fail "pkg-config flags do not point into the prefix: $flags" ;;
esac
# Without the rpath the program cannot find the library in this prefix...
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/no_rpath_client" "$client_src" $flags ||
    fail "the client does not build against the installed headers and library"
env -u LD_LIBRARY_PATH ldd "$work/no_rpath_client" | grep -q "$soname => not found" ||
    fail "$soname found without an rpath: the prefix is not a private one"
# ...with it, as the README says, it can.
rpath=$(pkg-config --variable=libdir bbu)
[ "$rpath" = "$libdir" ] || fail "pkg-config libdir is $rpath, not $libdir"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/status_client" "$client_src" $flags \
    -Wl,-rpath,"$rpath" || fail "the client does not build with the rpath"

# A BBU with a status that is easy to recognise.
cat >"$work/status.scn" <<'EOF'
# charging on a proper and actual connection, a state save waiting,
# firmware 02.17, three strings, 30.0 degrees average
status 0 0x35
status 3 0x20
status 18 0x30
status 20 0x01
status 21 0x2c
status 30 0x02
status 31 0x17
EOF

set +e
env -u LD_LIBRARY_PATH "$bbusim" --scenario "$work/status.scn" --root "$work/root" \
    --transcript "$work/transcript" -- "$work/status_client" >"$work/out" 2>"$work/err"
status=$?
set -e
[ "$status" -eq 0 ] || fail "status_client exited with $status: $(cat "$work/out" "$work/err")"
[ ! -s "$work/err" ] || fail "unexpected standard error: $(cat "$work/err")"

expect_line() {
    grep -qxF -- "$1" "$work/out" || fail "missing line '$1' in: $(cat "$work/out")"
}
expect_line "checked read: 0"
expect_line "general status======= status_client"
expect_line "byte0 35 charging "
expect_line "byte3 20 statesave "
expect_line "byte5 00 "
expect_line "firmware: 02.17"
expect_line "battery strings: 3"
expect_line "average temperature: 300"
expect_line "state save available: yes"
expect_line "charging: yes"
expect_line "checksumError: 0"
expect_line "rest of buffer kept: yes"

# The check byte the program saw is the one the simulated BBU sent.
read_line=$(grep ' read 0x40 33 -> 33 : ' "$work/transcript") || fail "no status read on the bus"
[ "$(echo "$read_line" | wc -l)" -eq 1 ] || fail "more than one status read: $read_line"
sent=$(echo "$read_line" | awk '{ print $NF }')
expect_line "check byte: $sent"

# The library traced to the (mapped) trace log, not to the console.
log=$work/root/opt/Logs/bbu/logs/BBU.log
grep -q ' Performing I2C commands with retry$' "$log" || fail "no retry trace in $log"
grep -q ' general status======= status_client$' "$log" || fail "no display trace in $log"

# The access daemon, its man page and systemd files; it serves a client built
# against the installed library.
[ -e "$prefix/lib/systemd/system/bbu-i2cd.socket" ] || fail "bbu-i2cd.socket not installed"
grep -qxF "ExecStart=$prefix/sbin/bbu-i2cd --group bbu" "$prefix/lib/systemd/system/bbu-i2cd.service" ||
    fail "bbu-i2cd.service does not start the installed daemon"
warnings=$(groff -man -ww -z "$prefix/share/man/man8/bbu-i2cd.8" 2>&1) || fail "no bbu-i2cd.8"
[ -z "$warnings" ] || fail "groff warns about bbu-i2cd.8: $warnings"
# shellcheck disable=SC2086 # the flags are words
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$work/daemon_client" "$daemon_client_src" \
    $flags -Wl,-rpath,"$rpath" || fail "the daemon client does not build"
# The daemon starts in the background, serving root and the group of whoever
# runs the test; the client waits until it says it listens (the socket file
# alone appears at bind, before the daemon listens).
env -u LD_LIBRARY_PATH "$bbusim" --scenario "$work/status.scn" --root "$work/droot" \
    --transcript "$work/dtranscript" -- sh -c '
        "$1" --group "$(id -g)" 2>"$3" & daemon=$!
        i=0; until grep -q "listening on" "$3" 2>/dev/null || [ $((i += 1)) -gt 100000 ]; do :; done
        "$2"; status=$?
        kill -TERM $daemon && wait $daemon && exit $status' \
    sh "$prefix/sbin/bbu-i2cd" "$work/daemon_client" "$work/daemon.log" >"$work/dout" 2>&1 ||
    fail "daemon_client or bbu-i2cd failed: $(cat "$work/dout" "$work/daemon.log")"
sent=$(grep ' read 0x40 33 -> 33 : ' "$work/dtranscript" | awk '{ print $NF }')
grep -qxF "status 1 error 0 bytes 33 firmware 02.17 check byte $sent" "$work/dout" ||
    fail "not the scenario's status as read on the bus ($sent): $(cat "$work/dout")"
grep -qxF "bbu-i2cd: stopping on SIGTERM" "$work/daemon.log" || fail "no clean stop: $(cat "$work/daemon.log")"

echo "installed library: built, linked and read the simulated BBU, directly and through bbu-i2cd"
