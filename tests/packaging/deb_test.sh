#!/bin/sh
# Builds this source tree's Debian packages for the build machine into the
# build directory (packaging/build-debs.sh), checks them, and runs the install
# test against the library packages unpacked into a root there.
# Usage: deb_test.sh SOURCE_DIR BUILD_DIR INSTALL_TEST
set -u
source=$1
build=$2
install_test=$3
out="$build/packaging/deb-test"
root="$out/root"

rm -rf "$out"
sh "$source/packaging/build-debs.sh" "$source" "$out" || exit 1
sh "$source/packaging/check-debs.sh" "$out/deb" "$(dpkg --print-architecture)" \
    "$build/packaging/deb-expected.sh" || exit 1
for deb in "$out"/deb/libtorpor1_*.deb "$out"/deb/libtorpor-dev_*.deb; do
    dpkg-deb -x "$deb" "$root" || exit 1
done
TORPOR_DEB_ROOT=$root "$install_test" || exit 1
rm -rf "$out"
