#!/bin/sh
# Installs the Debian packages the project needs, and nothing when all are
# present. This is the one list: the README's commands and .ci/run call it.
#
#   scripts/install-packages.sh build     what the build needs
#   scripts/install-packages.sh packages  the build and the Debian packages' build
#   scripts/install-packages.sh test      all that, the tests and CI's checks
#
# Run it as root, or as a user who may use sudo.
set -eu

# Each package, with the reason it is here. The build list is also
# debian/control's Build-Depends: change both together.
build_packages='
cmake               the build system (CMake 3.25 presets)
g++                 the C++20 compiler
gcc                 the C compiler (C programs built against the library)
make                the generator the presets use
pkgconf             finds libsystemd for bbu-i2cd; the installed bbu.pc is checked with it
libsystemd-dev      bbu-i2cd takes its socket from systemd (sd_listen_fds)
nlohmann-json3-dev  bbuctl writes and reads JSON
'
packaging_packages='
dpkg-dev            dpkg-buildpackage builds the Debian packages (scripts/build-packages.sh)
build-essential     dpkg-buildpackage requires it of every package build
debhelper           debian/rules (compat 13, dh_installsysusers)
lintian             the packages must have no lintian error or warning
git                 scripts/build-packages.sh exports the committed tree; CI lists the files to format
man-db              man bbuctl in the packages install check; man -l in the help tests
'
test_packages='
libgtest-dev        the test framework
libgmock-dev        matchers of the tests
i2c-tools           i2ctransfer, a peer client run against the simulated bus
groff-base          man pages are rendered in the help tests
bsdutils            script(1): bbuctl under a pseudo-terminal
clang-format        CI checks the formatting
clang-tidy          CI runs clang-tidy over the product
clang-14            the fuzz preset builds the fuzz targets with it
libclang-rt-14-dev  libFuzzer and the sanitizer runtimes of clang, and the input splitter of the fuzz targets
ansible-core        the rollout tests run the Ansible playbook on the simulated BBUs
ansible-lint        the ansible_lint test holds the collection to the production profile
python3-jsonschema  the JSON documents of bbuctl are checked against their schema
'

what=${1:-}
case $what in
build) list=$build_packages ;;
packages) list="$build_packages$packaging_packages" ;;
test) list="$build_packages$packaging_packages$test_packages" ;;
*)
    echo "usage: $0 build|packages|test" >&2
    exit 2
    ;;
esac
names=$(printf '%s\n' "$list" | awk 'NF { print $1 }')

# promtool checks bbuctl's Prometheus output. Debian ships it only inside the
# prometheus package, whose install starts a server: promtool alone is
# unpacked from that package instead.
want_promtool=no
if [ "$what" = test ] && ! command -v promtool >/dev/null 2>&1; then
    want_promtool=yes
fi

missing=
for p in $names; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -z "$missing" ] && [ $want_promtool = no ]; then
    exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
    echo "$0: no apt-get on this system; install these packages (Debian 12 names):$missing" >&2
    [ $want_promtool = yes ] && echo "$0: and promtool (from Prometheus)" >&2
    exit 1
fi
as_root=
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "$0: not root and no sudo; as root, run: apt-get install$missing" >&2
        exit 1
    fi
    as_root=sudo
fi

export DEBIAN_FRONTEND=noninteractive
$as_root apt-get update -q
if [ -n "$missing" ]; then
    echo "install-packages:$missing"
    # shellcheck disable=SC2086 # the list is split on purpose
    $as_root apt-get install -y -q --no-install-recommends $missing
fi
if [ $want_promtool = yes ]; then
    echo "install-packages: promtool, unpacked from the prometheus package"
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    (cd "$scratch" && apt-get download -q prometheus >/dev/null 2>&1 || $as_root apt-get download -q prometheus)
    dpkg-deb --fsys-tarfile "$scratch"/prometheus_*.deb | tar -x -C "$scratch" ./usr/bin/promtool
    $as_root install -m 0755 "$scratch/usr/bin/promtool" /usr/local/bin/promtool
fi
