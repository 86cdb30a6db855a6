#!/bin/sh
# Runs COMMAND where the root directory is a mount point, so that a sandbox
# can make its mounts private (unshare --propagation private). Where it is
# one already, COMMAND runs as it is. In a chroot whose root is a plain
# directory (a debootstrap tree), a mount namespace of its own binds the
# root onto /proc, a mount point made private first, so that nothing it
# mounts reaches the machine, and COMMAND runs chrooted there, in the same
# directory. The chroot needs its /proc mounted, as the sandboxes do.
# Usage (as root): tools/rooted.sh COMMAND [ARG...]
set -eu

if awk '$5 == "/" { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    exec "$@"
fi
if ! awk '$5 == "/proc" { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    echo "rooted: the root is no mount point, nor is /proc: mount proc on /proc first" >&2
    exit 1
fi
# shellcheck disable=SC2016 # the inner shell's own words
exec unshare --mount --propagation unchanged sh -c '
    mount --make-rprivate /proc &&
    mount --rbind / /proc &&
    mount --make-rprivate /proc &&
    exec chroot /proc sh -c "cd \"\$0\" && exec \"\$@\"" "$0" "$@"' "$PWD" "$@"
