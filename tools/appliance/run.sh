#!/bin/bash
# The appliance in a box: boots the armel build on QEMU's emulated ARM
# machine (software emulation) with one AHCI disk and two USB disks, runs
# the scenarios of scenario.sh inside it, and compares QEMU's own record of
# what each drive received with the daemon's console trace.
# Usage (as root): run.sh ARM_BUILD OUT   (OUT as fetch.sh left it)
# Writes OUT/console.log (the guest's console, each line with the host's
# time), OUT/drives.log (QEMU's trace events) and OUT/tests/ (each test's
# output); exits 0 only when everything matched.
set -euo pipefail

build=$(realpath "$1")
out=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
src=$(realpath "$here/../..")
arm=$out/armel
version=$(cat "$out/kernel")
limit=${APPLIANCE_LIMIT:-720}     # seconds for the whole emulated run
patience=120                      # seconds for any one wait in the guest
fast_clock=10                     # a daemon minute takes six seconds

say() { echo "appliance: $*"; }

# The initramfs: busybox as the userland and /bin/sh, Debian's armel hdparm
# and sg_start with their libraries, the cross toolchain's C and C++
# runtime, our daemon, fan stand-in and fast clock, the kernel modules for
# the disks, FUSE, loop devices, overlays and the 9p shares.
assemble() {
    local root=$out/initramfs
    rm -rf "$root"
    # Debian's layout: /bin, /sbin and /lib in /usr, /var/run and /var/lock in /run.
    mkdir -p "$root"/{dev,etc,mnt,proc,root,run,sys,tmp,var/tmp} "$root"/usr/{bin,lib,sbin,local/bin}
    for dir in bin sbin lib; do ln -s "usr/$dir" "$root/$dir"; done
    ln -s /run "$root/var/run"
    ln -s /run/lock "$root/var/lock"
    mknod "$root/dev/console" c 5 1
    cp "$arm/bin/busybox" "$root/bin/"
    # A hard link, not a symbolic one: a test that binds a shell of its own
    # over /bin/sh must not cover busybox itself, which that shell may run.
    ln "$root/bin/busybox" "$root/bin/sh"
    cp "$arm/sbin/hdparm" "$root/sbin/"
    cp "$arm/usr/bin/sg_start" "$root/usr/local/bin/"
    cp -a /usr/arm-linux-gnueabi/lib/*.so.* "$root/lib/"
    cp -a "$arm"/lib/arm-linux-gnueabi/libfuse3.so.* "$arm"/usr/lib/arm-linux-gnueabi/libsgutils2*.so.* \
        "$root/lib/"
    cp "$build/torpord" "$build/tests/support/torpor-leddrv" "$root/usr/sbin/"
    cp "$build/tests/support/torpor-fastclock.so" "$root/usr/lib/"
    # The disks' CRC module (crc-t10dif) names among its implementations one
    # for the ARMv8 Crypto Extensions (crct10dif-arm-ce), which the emulated
    # Cortex-A15 lacks: it would refuse to load, and the generic one serves.
    local modules
    modules=$(modprobe -d "$arm" -S "$version" --show-depends -a ahci sd_mod sg usb-storage \
        xhci-pci fuse loop overlay 9p 9pnet_virtio virtio_pci |
        awk '!seen[$2]++ && $2 !~ /-ce\.ko$/ { print $2 }')
    for module in $modules; do
        mkdir -p "$root/$(dirname "${module#"$arm"}")"
        cp "$module" "$root/${module#"$arm"}"
        echo "${module#"$arm"/}"
    done > "$root/etc/modules"
    printf 'root:x:0:0:root:/root:/bin/sh\n' > "$root/etc/passwd"
    printf 'root:x:0:\nstaff:x:50:\nusers:x:100:\n' > "$root/etc/group"
    cat > "$root/etc/appliance" <<EOF
TREE='$src'
BUILD='$build'
PATIENCE=$patience
TEST_TIMEOUT=300
FAST_CLOCK=$fast_clock
EOF
    # Each test as ctest runs it, without the user-mode emulator in front.
    ctest --test-dir "$build" --show-only=json-v1 | jq -r --arg build "$build" '.tests[] |
        .command as $c | ($c | map(startswith($build)) | index(true)) as $at |
        [(.properties[] | select(.name == "WORKING_DIRECTORY") | .value), .name,
         ($c[$at:] | join(" "))] | @tsv' > "$root/etc/tests"
    cp "$here/init" "$root/init"
    cp "$here/scenario.sh" "$root/"
    cp "$here/lib.sh" "$root/lib/appliance.sh"
    (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$out/initrd.cpio"
}

qemu_pid=
cleanup() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill "$qemu_pid"
    fi
}
trap cleanup EXIT

# Boots the guest; its console goes, line by line with the host's time, to
# OUT/share/console.log, which the guest reads back through its share.
boot() {
    local share=$out/share
    rm -rf "$share" "$out/tests" "$out/drives.log"
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
        "appliance: test "*" passed: "*) printf '%s%.79s%s' "$clear" "$line" "$end" ;;
        appliance:*) printf '%s%s\n' "$clear" "$line" ;;
        esac
    done < "$out/console.fifo" &
    local reader=$!
    for disk in hda usb1 usb2; do
        rm -f "$out/$disk.img"
        truncate -s 32M "$out/$disk.img"
    done
    qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 1024 -display none -monitor none -nic none \
        -serial stdio -no-reboot -kernel "$arm/boot/vmlinuz-$version" -initrd "$out/initrd.cpio" \
        -append "console=ttyAMA0 panic=-1 rdinit=/init" \
        -device ich9-ahci,id=ahci \
        -drive if=none,id=hda,format=raw,file="$out/hda.img" -device ide-hd,bus=ahci.0,drive=hda \
        -device qemu-xhci,id=xhci \
        -drive if=none,id=usb1,format=raw,file="$out/usb1.img" \
        -device usb-storage,bus=xhci.0,port=1,drive=usb1 \
        -drive if=none,id=usb2,format=raw,file="$out/usb2.img" \
        -device usb-storage,bus=xhci.0,port=2,drive=usb2 \
        -fsdev local,id=tree,path="$src",security_model=none,readonly=on \
        -device virtio-9p-pci,fsdev=tree,mount_tag=tree,romfile= \
        -fsdev local,id=build,path="$build",security_model=none,readonly=on \
        -device virtio-9p-pci,fsdev=build,mount_tag=build,romfile= \
        -fsdev local,id=out,path="$share",security_model=none \
        -device virtio-9p-pci,fsdev=out,mount_tag=out,romfile= \
        -msg timestamp=on -D "$out/drives.log" \
        -trace ide_exec_cmd -trace scsi_req_parsed -trace scsi_disk_new_request \
        -trace usb_packet_state_change \
        < /dev/null > "$out/console.fifo" &
    qemu_pid=$!
    local deadline=$((SECONDS + limit))
    while kill -0 "$qemu_pid" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ]; then
            kill "$qemu_pid"
            local last
            last=$(grep -o 'appliance: scenario [0-9]' "$share/console.log" | tail -1)
            say "time limit of $limit s reached: ${last#appliance: } did not finish" \
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
    [ -d "$share/tests" ] && mv "$share/tests" "$out/tests"
    return 0
}

assemble
boot
say "scenario 3: the drives' record beside the daemon's trace"
awk -v tests="$(grep -c '' "$out/initramfs/etc/tests")" -f "$here/summary.awk" "$out/share/disks" \
    "$out/share/spindownd.conf" "$out/console.log" "$out/drives.log"
