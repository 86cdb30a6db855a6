# shellcheck shell=bash
# The host's side of the emulated machines (run.sh, drives.sh): the
# initramfs's common part, and QEMU under a time limit with its console
# logged, each line with the host's time. The caller defines say.

# The initramfs's skeleton in ROOT: Debian's layout (/bin, /sbin and /lib
# in /usr, /var/run and /var/lock in /run), busybox from BUSYBOX as the
# userland and /bin/sh, an account for root and the guest's shell functions.
skeleton() {
    local root=$1 busybox=$2
    rm -rf "$root"
    mkdir -p "$root"/{dev,etc,mnt,proc,root,run,sys,tmp,var/tmp} "$root"/usr/{bin,lib,sbin,local/bin}
    for dir in bin sbin lib; do ln -s "usr/$dir" "$root/$dir"; done
    ln -s /run "$root/var/run"
    ln -s /run/lock "$root/var/lock"
    mknod "$root/dev/console" c 5 1
    cp "$busybox" "$root/bin/"
    # A hard link, not a symbolic one: a test that binds a shell of its own
    # over /bin/sh must not cover busybox itself, which that shell may run.
    ln "$root/bin/busybox" "$root/bin/sh"
    printf 'root:x:0:0:root:/root:/bin/sh\n' > "$root/etc/passwd"
    printf 'root:x:0:\nstaff:x:50:\nusers:x:100:\n' > "$root/etc/group"
    cp "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$root/lib/appliance.sh"
}

# Copies the kernel modules named, with those they need, from the kernel
# VERSION unpacked in TREE into ROOT, and lists them in the order to load them in ROOT/etc/modules.
# SKIP: a pattern for modules to leave out (implementations for processor
# features that the emulated one lacks, which would refuse to load; the
# generic ones serve).
modules() {
    local tree=$1 version=$2 root=$3 skip=$4 module
    shift 4
    for module in $(modprobe -d "$tree" -S "$version" --show-depends -a "$@" |
        awk -v skip="$skip" '$1 == "insmod" && !seen[$2]++ && $2 !~ skip { print $2 }'); do
        mkdir -p "$root/$(dirname "${module#"$tree"}")"
        cp "$module" "$root/${module#"$tree"}"
        echo "${module#"$tree"/}"
    done > "$root/etc/modules"
}

# The initramfs ROOT packed into FILE.
pack() {
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$2"
}

qemu_pid=
cleanup() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill "$qemu_pid"
    fi
}
trap cleanup EXIT

# Runs the QEMU command given, its serial console on standard output, for
# at most LIMIT seconds; RIG: the prefix of the guest's own console lines,
# shown as they come. The console goes, line by line with the host's
# time, to OUT/share/console.log, which the guest reads back through its
# share (OUT/share), and is kept as OUT/console.log.
run_guest() {
    local rig=$1 out=$2 limit=$3
    shift 3
    local share=$out/share
    rm -rf "$share"
    mkdir -p "$share"
    : > "$share/console.log"
    rm -f "$out/console.fifo"
    mkfifo "$out/console.fifo"
    # The guest's own lines are shown; on a terminal, the passed tests'
    # lines overwrite one another.
    local clear='' end=$'\n'
    [ -t 1 ] && clear=$'\r\033[K' end=''
    while IFS= read -r line; do
        line=${line%$'\r'}
        printf '%s %s\n' "$EPOCHREALTIME" "$line" >> "$share/console.log"
        case $line in
        "$rig: test "*" passed: "*) printf '%s%.79s%s' "$clear" "$line" "$end" ;;
        "$rig:"*) printf '%s%s\n' "$clear" "$line" ;;
        esac
    done < "$out/console.fifo" &
    local reader=$!
    "$@" < /dev/null > "$out/console.fifo" &
    qemu_pid=$!
    local deadline=$((SECONDS + limit))
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ]; then
            kill "$qemu_pid"
            local last
            last=$(grep -o "$rig: scenario [0-9]" "$share/console.log" | tail -1)
            say "time limit of $limit s reached: ${last#"$rig: "} did not finish" \
                "(killed QEMU)"
            return 1
        fi
        sleep 1
    done
    wait "$qemu_pid" || true
    qemu_pid=
    wait "$reader"
    rm -f "$out/console.fifo"
    cp "$share/console.log" "$out/console.log"
}
