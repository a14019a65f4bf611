#!/bin/sh
# Builds the Debian packages (debian/) from this checkout's committed files
# and checks them with lintian, which must report no error and no warning.
#
#   scripts/build-packages.sh OUT_DIR
#
# The committed tree is exported to OUT_DIR/src and built there with
# dpkg-buildpackage -us -uc -b, so the checkout stays clean and the packages,
# the .changes and the build log land in OUT_DIR. Needs the build list and
# debhelper, lintian (scripts/install-packages.sh test).
set -eu

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 OUT_DIR" >&2
    exit 2
fi
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
changes=$out/bbu_${version}_$(dpkg --print-architecture).changes

rm -rf "$out/src" "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mkdir "$out/src"
git -C "$top" archive --format=tar HEAD | tar -x -C "$out/src"

echo "build-packages: dpkg-buildpackage in $out/src (log: $out/build.log)"
(cd "$out/src" && DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=$(nproc)} \
    dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 || {
    tail -30 "$out/build.log" >&2
    echo "build-packages: dpkg-buildpackage failed (log: $out/build.log)" >&2
    exit 1
}
ls "$out"/*.deb

echo "build-packages: lintian $changes"
lintian --fail-on error,warning --display-info "$changes"
