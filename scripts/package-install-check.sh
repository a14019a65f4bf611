#!/bin/sh
# Installs the Debian packages of DEB_DIR with apt on this Debian 12 system,
# uses them as the BBU's operators do, purges them and checks that nothing of
# theirs is left but the BBU records under /var/lib/bbu and the group bbu.
#
#   scripts/package-install-check.sh DEB_DIR
#
# It adds two users and installs, removes and purges packages: run it as root
# on a system made for it (scripts/fresh-system-check.sh runs it in its
# debootstrap Debian 12). Needs a C compiler and pkg-config (the build list).
#
# There: bbu-i2cd runs under bbusim as its unit starts it (a dynamic user
# with the supplementary group bbu, no capabilities, no new privileges); a
# member of bbu reads the BBU's status through it with the library's socket
# client, built with pkg-config against libbbu-dev, and a user outside bbu is
# refused; battsnap and bbuctl run under bbusim; man bbuctl renders and bash
# completes `bbuctl st` to `status`.
set -eu

[ $# -eq 1 ] || {
    echo "usage: $0 DEB_DIR" >&2
    exit 2
}
dir=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
packages='libbbu1 libbbu-dev bbu-tools bbusim'
debs=$(for p in $packages; do ls "$dir/${p}"_*.deb; done)
work=/var/tmp/bbu-package-check
dynamic_uid=61234 # where systemd picks DynamicUser ids (61184-65519)
fail() {
    echo "package-install-check: FAIL: $*" >&2
    exit 1
}
say() { echo "package-install-check: $*"; }
export DEBIAN_FRONTEND=noninteractive

# Every path of the system, but the kernel's, the scratch, apt's and dpkg's
# own records and logs (the package manager's business, not the packages').
snapshot() {
    find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o \
        -path /var/tmp -o -path /root -o -path /var/cache -o -path /var/log -o -path /var/lib/apt -o \
        -path /var/lib/dpkg \) -prune -o -print | sort >"$1"
}

# What the packages need comes first, so that the snapshot holds it.
rm -rf "$work"
mkdir -p "$work"
# shellcheck disable=SC2086 # a list of files
deps=$(apt-get install -s $debs | awk '$1 == "Inst" { print $2 }' |
    grep -vxF "$(printf '%s\n' $packages)" || true)
# shellcheck disable=SC2086 # a list of names
[ -z "$deps" ] || apt-get install -y -q $deps >"$work/deps.log"
id bbu-operator >/dev/null 2>&1 || useradd -M -N bbu-operator
id bbu-outsider >/dev/null 2>&1 || useradd -M -N bbu-outsider
snapshot "$work/before"

# shellcheck disable=SC2086 # a list of files
apt-get install -y -q $debs >"$work/install.log" || fail "apt-get install: $(tail -5 "$work/install.log")"
# shellcheck disable=SC2086 # a list of names
say "installed: $(dpkg-query -W -f='${Package} ${Version}, ' $packages)"
getent group bbu >/dev/null || fail "no group bbu after the install"
usermod -a -G bbu bbu-operator
state=$(stat -c '%a %U:%G %n' /opt/Logs/bbu/logs /opt/Logs/bbu/logs/BBU.log /var/lib/bbu | tr '\n' ';')
[ "$state" = "2775 root:bbu /opt/Logs/bbu/logs;664 root:bbu /opt/Logs/bbu/logs/BBU.log;2775 root:bbu /var/lib/bbu;" ] ||
    fail "the log folder, log and records folder are: $state"
[ -L /etc/systemd/system/sockets.target.wants/bbu-i2cd.socket ] || fail "bbu-i2cd.socket is not enabled"

# shellcheck disable=SC2046 # the flags are words
cc -std=c99 -Wall -Werror -o "$work/client" "$top/tests/e2e/daemon_status_client.c" \
    $(pkg-config --cflags --libs bbu) || fail "the socket client does not build against libbbu-dev"
chmod 0755 "$work" "$work/client"

# One simulated run: the daemon as its unit runs it, then the two clients.
# The world and the daemon's folders are opened to the other users first.
# shellcheck disable=SC2016 # expanded by the inner shell
bbusim --root "$work/sim" -- sh -c '
    work=$1 uid=$2
    chmod 0666 "$BBUSIM_WORLD"
    chmod 1777 "$work/sim/tmp" "$work/sim/opt/Logs/bbu/logs"
    adapter=$work/sim/bbusim.adapter.0 # /dev/i2c-0b, as the udev rule leaves it
    : >"$adapter" && chgrp bbu "$adapter" && chmod 0660 "$adapter"
    setpriv --reuid="$uid" --regid="$uid" --groups="$(getent group bbu | cut -d: -f3)" --inh-caps=-all \
        --bounding-set=-all --no-new-privs /usr/sbin/bbu-i2cd --group bbu 2>"$work/daemon.log" &
    daemon=$!
    i=0; until grep -q "listening on" "$work/daemon.log" 2>/dev/null || [ $((i += 1)) -gt 300 ]; do sleep 0.1; done
    setpriv --reuid=bbu-operator --regid="$(id -g bbu-operator)" --init-groups "$work/client" >"$work/member.out"
    member=$?
    setpriv --reuid=bbu-outsider --regid="$(id -g bbu-outsider)" --init-groups "$work/client" 2>"$work/outsider.err"
    outsider=$?
    kill -TERM $daemon; wait $daemon
    echo "member $member outsider $outsider" >"$work/clients"' sh "$work" $dynamic_uid ||
    fail "the simulated run failed: $(cat "$work/daemon.log")"
[ "$(cat "$work/clients")" = "member 0 outsider 1" ] ||
    fail "$(cat "$work/clients"): $(cat "$work/member.out" "$work/daemon.log")"
grep -q ' error 0 bytes 33 firmware ' "$work/member.out" || fail "the member read: $(cat "$work/member.out")"
grep -q 'Permission denied' "$work/outsider.err" || fail "the outsider: $(cat "$work/outsider.err")"
say "a member of bbu read the status through bbu-i2cd (uid $dynamic_uid, group bbu); an outsider was refused"

bbusim --root "$work/tools" -- battsnap -t 0 -b 2 -f /var/lib/bbu/state.bin >"$work/battsnap.out" 2>&1 ||
    fail "battsnap under bbusim: $(cat "$work/battsnap.out")"
bbusim --root "$work/tools" -- bbuctl status >"$work/bbuctl.out" || fail "bbuctl status under bbusim"
[ "$(stat -c %s /var/lib/bbu/state.bin)" = 177 ] || fail "battsnap saved no 177-byte record"
MANWIDTH=80 man bbuctl 2>&1 | grep -q "bbuctl - the battery backup unit" || fail "man bbuctl does not render"
# shellcheck disable=SC2016 # expanded by the inner shell
completed=$(bash -c '. /usr/share/bash-completion/bash_completion && _completion_loader bbuctl
    COMP_WORDS=(bbuctl st) COMP_CWORD=1 COMP_LINE="bbuctl st" COMP_POINT=9
    $(complete -p bbuctl | sed -n "s/.*-F \([^ ]*\) .*/\1/p") bbuctl st bbuctl; echo "${COMPREPLY[*]}"')
[ "$completed" = status ] || fail "bash completes bbuctl st to: $completed"
say "battsnap and bbuctl ran under bbusim; man bbuctl renders; bash completes bbuctl st to status"

# shellcheck disable=SC2086 # a list of names
apt-get purge -y -q $packages >"$work/purge.log" 2>&1 || fail "apt-get purge: $(tail -5 "$work/purge.log")"
# (apt runs the maintainer scripts on a terminal of its own: lines end in CR LF)
tr -d '\r' <"$work/purge.log" | grep -qx 'bbu-tools: kept /var/lib/bbu, which holds BBU records or images' ||
    fail "the purge did not say it kept /var/lib/bbu: $(cat "$work/purge.log")"
getent group bbu >/dev/null || fail "the purge removed the group bbu"
snapshot "$work/after"
left=$(comm -13 "$work/before" "$work/after" | grep -vx '/var/lib/bbu\|/var/lib/bbu/state.bin' || true)
[ -z "$left" ] || fail "left after the purge: $left"
gone=$(comm -23 "$work/before" "$work/after")
[ -z "$gone" ] || fail "gone after the purge: $gone"
say "purged: nothing left but /var/lib/bbu (its record) and the group bbu"
