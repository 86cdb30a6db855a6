#!/bin/sh
# Installs the Debian packages that a make target needs and that are missing.
# Usage: install-deps.sh GROUP...   (groups: build test arm deb check bench appliance mutants)
set -eu

packages() {
    case "$1" in
    build) echo "cmake make g++ pkg-config" ;;
    # build-essential: dpkg-buildpackage (the package test) checks for it.
    test) echo "cmake make g++ build-essential pkg-config googletest libgtest-dev libfuse3-dev fuse3 util-linux valgrind groff-base man-db dpkg-dev debhelper lintian git file busybox" ;;
    arm) echo "cmake make crossbuild-essential-armel qemu-user googletest busybox" ;;
    # dpkg-shlibdeps reads a cross build's dependencies off the target's C library.
    deb) echo "cmake make g++ build-essential dpkg-dev debhelper lintian git file libc6:armel" ;;
    check) echo "clang libclang-rt-14-dev clang-tidy cppcheck gcovr" ;;
    appliance) echo "cmake make crossbuild-essential-armel qemu-user googletest busybox jq qemu-system-arm cpio kmod" ;;
    mutants) echo "python3" ;;
    bench) echo "cmake make g++ pkg-config libbenchmark-dev valgrind strace binutils util-linux mawk" ;;
    *) echo "unknown group: $1" >&2; exit 2 ;;
    esac
}

want=""
for group in "$@"; do
    want="$want $(packages "$group")"
done

missing=""
for pkg in $want; do
    case " $missing " in *" $pkg "*) continue ;; esac
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing="$missing $pkg"
done

[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root, or install them)" >&2
    exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
for pkg in $missing; do
    case "$pkg" in
    *:*)
        arch=${pkg#*:}
        dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
        ;;
    esac
done
apt-get install -y --no-install-recommends $missing >/dev/null 2>&1 || {
    apt-get update >/dev/null
    apt-get install -y --no-install-recommends $missing
}
