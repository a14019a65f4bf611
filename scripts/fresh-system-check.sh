#!/bin/bash
# Proves the set-up on a new machine: makes a minimal Debian 12 system with
# debootstrap in a scratch folder, clones this checkout's HEAD into it under
# /root (a private home, as on a fresh machine), and runs there, as root and
# in this order, the README's two commands exactly as written and then
# .ci/run, which builds the Debian packages; then it installs those packages
# there with apt, uses and purges them (scripts/package-install-check.sh).
# Prints each one's exit status and time. Not part of the test suite: it
# needs root, the Debian mirror and about half an hour.
#
#   scripts/fresh-system-check.sh [--packages-only] [SCRATCH]   (default: build/fresh-system)
#
# --packages-only skips the README's commands and .ci/run: it installs what
# the packages' build needs, builds them and runs the install check.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
packages_only=no
if [ "${1:-}" = --packages-only ]; then
    packages_only=yes
    shift
fi
scratch=${1:-$top/build/fresh-system}
mirror=${BBU_DEBIAN_MIRROR:-http://deb.debian.org/debian}

if [ "$(id -u)" -ne 0 ]; then
    echo "$0: needs root (debootstrap, chroot and mounts)" >&2
    exit 1
fi
command -v debootstrap >/dev/null || apt-get install -y -q --no-install-recommends debootstrap

# The README's two commands: the indented lines of its quick start that begin
# with the package script.
mapfile -t commands < <(sed -n 's/^    \(scripts\/install-packages\.sh .*\)$/\1/p' "$top/README.md")
if [ "${#commands[@]}" -ne 2 ]; then
    echo "$0: expected the README's two commands, found ${#commands[@]}" >&2
    exit 1
fi

root=$scratch/root-fs
mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
mount_in() { # mount_in ARGS... TARGET
    mount "$@"
    mounted+=("${*: -1}")
}

rm -rf "$scratch"
mkdir -p "$scratch"
start=$SECONDS
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$scratch/debootstrap.log" 2>&1 ||
    {
        tail -20 "$scratch/debootstrap.log"
        exit 1
    }
echo "fresh-system: debootstrap bookworm (minbase): $((SECONDS - start)) s"

# The suites of a Debian 12 install (updates and security too), a resolver,
# and the kernel's file systems the tests use (/proc, /dev/null, pseudo-terminals).
[ -f /etc/apt/sources.list.d/debian.sources ] &&
    { rm -f "$root/etc/apt/sources.list"; cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"; }
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mount_in -t proc proc "$root/proc"
mount_in -t sysfs sys "$root/sys"
mount_in --bind /dev "$root/dev"
mount_in -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"

# The checkout as CI sees it: a clone of HEAD, here under root's own home.
git clone -q --no-local "$top" "$root/root/bbu"
git -C "$root/root/bbu" checkout -q "$(git -C "$top" rev-parse HEAD)"

status=0
run() { # run LABEL COMMAND
    local t=$SECONDS rc=0
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 ${3:+CI=true} /bin/bash -c "cd /root/bbu && $2" >"$scratch/$1.log" 2>&1 </dev/null || rc=$?
    printf 'fresh-system: %-16s exit %d in %d s  (%s)\n' "$1" "$rc" $((SECONDS - t)) "$2"
    [ "$rc" -eq 0 ] || {
        tail -25 "$scratch/$1.log" | sed 's/^/    /'
        status=1
    }
}
if [ $packages_only = yes ]; then
    run build-packages "scripts/install-packages.sh packages && scripts/build-packages.sh build/packages"
else
    run readme-build "${commands[0]}"
    run readme-test "${commands[1]}"
    run ci-run "bash .ci/run" ci
fi
[ $status -ne 0 ] || run package-install "scripts/package-install-check.sh build/packages"
echo "fresh-system: logs in $scratch"
exit $status
