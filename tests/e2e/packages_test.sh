#!/bin/sh
# Build the Debian packages with CPack from the build tree into WORK_DIR and
# check what each holds and depends on; then unpack the tools and the library
# (no installation: dpkg-deb -x into WORK_DIR) and run the tools from there.
#
# usage: packages_test.sh BUILD_DIR WORK_DIR VERSION
set -eu

build=$1 work=$2 version=$3 deb=$3-1 arch=$(dpkg --print-architecture)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
"${CPACK:-cpack}" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$work/cpack.log")"

# package, file that must be in it, dependency it must declare
while read -r package path depends; do
    file=$work/${package}_${deb}_$arch.deb
    [ -f "$file" ] || fail "no package $package: $(ls "$work")"
    [ "$(dpkg-deb -f "$file" Package)" = "$package" ] || fail "$file is not $package"
    dpkg-deb --contents "$file" | grep " \./usr/$path\( \|$\)" >/dev/null || fail "$package lacks /usr/$path"
    [ "$depends" = - ] || dpkg-deb -f "$file" Depends | grep -qF "$depends" ||
        fail "$package does not depend on $depends: $(dpkg-deb -f "$file" Depends)"
done <<EOF
libbbu0 lib/libbbu.so.0 libc6
libbbu0 lib/libbbu.so.$version -
libbbu-dev include/bbu/bbu.h libbbu0 (= $deb)
libbbu-dev lib/libbbu.so -
libbbu-dev lib/libbbu.a -
libbbu-dev lib/pkgconfig/bbu.pc -
libbbu-dev share/man/man3/libbbu.3 -
bbu-tools bin/bbuctl libbbu0 (= $deb)
bbu-tools bin/battsnap libstdc++6
bbu-tools share/man/man8/bbuctl.8 -
bbu-tools share/man/man8/battsnap.8 -
bbu-tools share/bash-completion/completions/bbuctl -
bbu-tools lib/libbbusim-record.so -
bbu-tools share/doc/bbu-tools/bbuctl.schema.json -
bbu-tools share/bbu/ansible/rollout.yml -
bbu-tools share/bbu/ansible/plugins/modules/bbu_firmware.py -
bbusim bin/bbusim libc6
bbusim lib/libbbusim.so -
bbusim share/man/man1/bbusim.1 -
bbusim bin/bbusim-mkimage -
bbusim share/man/man1/bbusim-mkimage.1 -
EOF

# The tools' package recommends bash-completion, which loads bbuctl's completion.
tools=$work/bbu-tools_${deb}_$arch.deb
dpkg-deb -f "$tools" Recommends | grep -qx 'bash-completion' ||
    fail "bbu-tools does not recommend bash-completion: $(dpkg-deb -f "$tools" Recommends)"

# bbusim --record preloads the recorder from the tools' package.
dpkg-deb -f "$work/bbusim_${deb}_$arch.deb" Recommends | grep -qx 'bbu-tools' ||
    fail "bbusim does not recommend bbu-tools: $(dpkg-deb -f "$work/bbusim_${deb}_$arch.deb" Recommends)"

# The library package is named for the SONAME it holds; pkg-config points at
# /usr. The tools run from what the packages unpack.
dpkg-deb -x "$work/libbbu0_${deb}_$arch.deb" "$work/root"
dpkg-deb -x "$tools" "$work/root"
readelf -d "$work/root/usr/lib/libbbu.so.$version" | grep -q 'Library soname: \[libbbu.so.0\]' ||
    fail "libbbu0 holds no libbbu.so.0"
dpkg-deb --fsys-tarfile "$work/libbbu-dev_${deb}_$arch.deb" | tar -xOf - ./usr/lib/pkgconfig/bbu.pc |
    grep -x 'prefix=/usr' >/dev/null || fail "bbu.pc does not name /usr"
out=$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/bbuctl" --version) ||
    fail "the packaged bbuctl does not run"
[ "$out" = "bbuctl (bbu) $version" ] || fail "bbuctl --version says: $out"
"$work/root/usr/bin/battsnap" -h 2>"$work/battsnap.err" || fail "the packaged battsnap -h fails"
grep -q '^Usage: battsnap ' "$work/battsnap.err" || fail "battsnap -h: $(cat "$work/battsnap.err")"

echo "packages: built, checked and the tools run from them"
