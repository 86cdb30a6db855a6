#!/bin/sh
# Makes this build's Debian packages with cpack into a scratch directory of
# the build and checks them (contents, control fields, installed paths).
# Usage: deb_test.sh CPACK BUILD_DIR CHECK_SCRIPT
set -u
cpack=$1
build=$2
check=$3
out="$build/packaging/deb-test"
rm -rf "$out"
mkdir -p "$out" || exit 1
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack failed"
    exit 1
fi
rm -rf "$out/_CPack_Packages"
sh "$check" "$out" "$build/packaging/deb-expected.sh"
status=$?
rm -rf "$out"
exit $status
