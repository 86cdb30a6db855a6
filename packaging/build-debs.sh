#!/bin/sh
# Builds the Debian packages with dpkg-buildpackage from a copy of the source
# tree (its files known to git, as they are in the working tree), so that
# neither the tree nor its parent directory is written to; collects the .deb
# files into OUT/deb and runs lintian on them.
# Usage: build-debs.sh SOURCE OUT [ARCH]   (ARCH: a Debian architecture to
# cross-build for, e.g. armel; default the build machine's)
set -u
source=$1
out=$2
arch=${3:-}

copy="$out/debian-build/torpord"
log="$out/debian-build.log"
rm -rf "$out/deb" "$out/debian-build"
mkdir -p "$out/deb" "$copy" || exit 1

fail() {
    echo "FAIL: $*"
    tail -n 60 "$log"
    echo "(whole log: $log)"
    exit 1
}

# A file deleted but not yet committed is listed and skipped.
git -C "$source" ls-files -z --cached --others --exclude-standard |
    tar -C "$source" --null -T - --ignore-failed-read -cf - 2>"$log" |
    tar -xf - -C "$copy" || fail "cannot copy $source"

(
    cd "$copy" &&
        DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -b -us -uc ${arch:+-a"$arch"}
) >>"$log" 2>&1 || fail "dpkg-buildpackage ${arch:+-a$arch }failed"
mv "$out/debian-build"/*.deb "$out/deb/" || fail "no packages built"
rm -rf "$out/debian-build"

# lintian leaves some of its temporary files (mldbm-*) behind: they go into
# OUT rather than /tmp, and are removed once it is done.
mkdir -p "$out/lintian-tmp" || exit 1
TMPDIR="$out/lintian-tmp" lintian --fail-on error,warning --info "$out"/deb/*.deb >>"$log" 2>&1 ||
    fail "lintian: errors or warnings"
rm -rf "$out/lintian-tmp"
echo "built and lintian-clean: $(cd "$out/deb" && echo *.deb)"
