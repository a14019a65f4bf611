#!/bin/sh
# Checks the Debian packages that scripts/build-packages.sh built into DEB_DIR,
# without installing them: what each holds (every path with its mode) and its
# control fields are compared with GOLDEN (BBU_GOLDEN_UPDATE=1 rewrites it);
# the library's SONAME, symbols and development files name the multiarch
# directory; then the packages are unpacked into WORK_DIR and the tools run
# from there, bbuctl under the unpacked bbusim, which must find its
# interposer in the private directory.
#
# usage: packages_test.sh DEB_DIR WORK_DIR GOLDEN
set -eu

debs=$1 work=$2 golden=$3
arch=$(dpkg --print-architecture) triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debian=$(dirname "$0")/../../debian
version=$(dpkg-parsechangelog -l "$debian/changelog" -S Version)
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
deb() { echo "$debs/${1}_${version}_$arch.deb"; }

rm -rf "$work"
mkdir -p "$work/root"
for package in libbbu1 libbbu-dev bbu-tools bbusim; do
    file=$(deb $package)
    [ -f "$file" ] || fail "no package $package in $debs: $(ls "$debs")"
    echo "package| $package"
    for field in Section Architecture Multi-Arch Pre-Depends Depends Recommends; do
        value=$(dpkg-deb -f "$file" "$field")
        [ -z "$value" ] || echo "$field| $value"
    done
    echo "control| $(dpkg-deb --ctrl-tarfile "$file" | tar -t | sed 's|^\./||' | grep . | sort | tr '\n' ' ')"
    dpkg-deb --contents "$file" | awk '{ print "file| " $1 " " $2 " " $6 ($7 ? " " $7 " " $8 : "") }'
    dpkg-deb -x "$file" "$work/root"
done | sed "s|$triplet|TRIPLET|g; s|$arch|ARCH|g" >"$work/packages"
[ -z "${BBU_GOLDEN_UPDATE:-}" ] || cp "$work/packages" "$golden"
diff -u "$golden" "$work/packages" >"$work/diff" || {
    head -40 "$work/diff" >&2
    fail "the packages differ from $golden"
}

# The library is named for its SONAME and every symbol it exports is listed
# in its symbols file (dpkg-gensymbols only warns of one that is not); the
# development files point at the multiarch directory.
root=$work/root libdir=$work/root/usr/lib/$triplet
readelf -d "$libdir/libbbu.so.1" | grep -q 'Library soname: \[libbbu.so.1\]' || fail "libbbu1 holds no libbbu.so.1"
nm -D --defined-only "$libdir/libbbu.so.1" | awk '$2 ~ /[TDBRW]/ { print $3 }' | sort >"$work/exported"
sed -n 's/^ \([^@]*\)@Base .*/\1/p' "$debian/libbbu1.symbols" | sort | diff -u - "$work/exported" ||
    fail "debian/libbbu1.symbols does not list the library's exported symbols"
grep -qx "libdir=\${prefix}/lib/$triplet" "$libdir/pkgconfig/bbu.pc" || fail "bbu.pc: $(grep libdir= "$libdir/pkgconfig/bbu.pc")"
grep -q "/lib/$triplet/libbbu.so.1" "$libdir"/cmake/bbu/bbuTargets-*.cmake ||
    fail "the CMake package does not name /usr/lib/$triplet"

# The tools run from what the packages unpack, the library found on its path
# (no run path is installed); bbusim finds libbbusim.so in .../bbu/.
LD_LIBRARY_PATH=$libdir
export LD_LIBRARY_PATH
out=$("$root/usr/bin/bbuctl" --version) || fail "the packaged bbuctl does not run"
[ "$out" = "bbuctl (bbu) ${version%-*}" ] || fail "bbuctl --version says: $out"
"$root/usr/bin/battsnap" -h 2>"$work/battsnap.err" || fail "the packaged battsnap -h fails"
grep -q '^Usage: battsnap ' "$work/battsnap.err" || fail "battsnap -h: $(cat "$work/battsnap.err")"
"$root/usr/bin/bbusim" --root "$work/sim" -- "$root/usr/bin/bbuctl" --json status >"$work/status.json" ||
    fail "bbuctl status under the packaged bbusim failed: $(cat "$work/status.json")"
grep -q '"command": *"status"' "$work/status.json" || fail "bbuctl status: $(cat "$work/status.json")"

echo "packages: checked, and the tools run from them"
