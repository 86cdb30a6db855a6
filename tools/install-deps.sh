#!/bin/sh
# Installs the Debian packages that a make target needs and that are missing.
# Usage: install-deps.sh GROUP...   (groups: build test arm deb check bench appliance drives mutants)
set -eu

packages() {
    case "$1" in
    build) echo "cmake make g++ pkg-config" ;;
    # build-essential: dpkg-buildpackage (the package test) checks for it.
    test) echo "cmake make g++ build-essential pkg-config googletest libgtest-dev libfuse3-dev fuse3 util-linux valgrind groff-base man-db dpkg-dev debhelper lintian git file busybox" ;;
    # valgrind: the leak test includes its header <valgrind/memcheck.h>, in a
    # cross build too (the cross compiler searches /usr/include last).
    arm) echo "cmake make crossbuild-essential-armel qemu-user googletest busybox valgrind" ;;
    # dpkg-shlibdeps reads a cross build's dependencies off the target's C library.
    deb) echo "cmake make g++ build-essential dpkg-dev debhelper lintian git file libc6:armel" ;;
    check) echo "clang libclang-rt-14-dev clang-tidy cppcheck gcovr shellcheck" ;;
    appliance) echo "cmake make crossbuild-essential-armel qemu-user googletest busybox jq qemu-system-arm cpio kmod" ;;
    # The packages' own build (amd64 only) and the emulated amd64 machine.
    drives) echo "cmake make g++ build-essential dpkg-dev debhelper lintian git file qemu-system-x86 cpio kmod" ;;
    mutants) echo "python3" ;;
    bench) echo "cmake make g++ pkg-config libbenchmark-dev valgrind strace binutils util-linux mawk hd-idle" ;;
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
export DEBIAN_FRONTEND=noninteractive
for pkg in $missing; do
    case "$pkg" in
    *:*)
        arch=${pkg#*:}
        dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
        ;;
    esac
done

# apt's messages go to a log, shown only when it fails; what a person sees is
# apt's own progress (its status descriptor) as one line rewritten in place on
# a terminal, or a line at each quarter of each phase elsewhere.
log=$(mktemp)
trap 'rm -f "$log" "$log.status"' EXIT
[ -t 1 ] && tty=1 || tty=0
# shellcheck disable=SC2016 # an awk program
progress='
BEGIN { FS = ":" }
$1 == "dlstatus" || $1 == "pmstatus" {
    phase = $1 == "dlstatus" ? "downloading" : "installing "
    percent = int($3)
    text = $4
    for (i = 5; i <= NF; i++) text = text ":" $i
    line = sprintf("  %s %3d%%  %s", phase, percent, substr(text, 1, 58))
    if (tty) {
        printf "\r\033[K%s", line
        shown = 1
    } else if (phase != last || int(percent / 25) > quarter) {
        print line
        last = phase
        quarter = int(percent / 25)
    }
}
END { if (shown) printf "\r\033[K" }'

failed() {
    echo "install-deps: apt-get failed; the end of its output:" >&2
    tail -n 30 "$log" >&2
    exit 1
}

update() {
    echo "updating the package lists (apt-get update)"
    apt-get update >>"$log" 2>&1
}

# The packages apt will install: those named and what they need.
# shellcheck disable=SC2086 # $missing: a word per package
planned() {
    apt-get install -s --no-install-recommends $missing 2>>"$log" | grep -c '^Inst '
}

# shellcheck disable=SC2086 # $missing: a word per package
install() {
    { apt-get install -y --no-install-recommends -o APT::Status-Fd=3 $missing 3>&1 >>"$log" 2>&1
        echo $? >"$log.status"; } | awk -v tty="$tty" "$progress"
    [ "$(cat "$log.status")" = 0 ]
}

began=$(date +%s)
ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1 || update || failed
count=$(planned) || { update && count=$(planned); } || failed
echo "installing:$missing ($count packages with what they need)"
install || { update && install; } || failed
echo "installed $count packages in $(($(date +%s) - began)) s"
