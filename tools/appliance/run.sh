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
# shellcheck source=/dev/null # tools/appliance/host.sh, checked on its own
. "$here/host.sh"

# The initramfs: busybox as the userland and /bin/sh, Debian's armel hdparm
# and sg_start with their libraries, the cross toolchain's C and C++
# runtime, our daemon, fan stand-in and fast clock, the kernel modules for
# the disks, FUSE, loop devices, overlays and the 9p shares.
assemble() {
    local root=$out/initramfs
    skeleton "$root" "$arm/bin/busybox"
    cp "$arm/sbin/hdparm" "$root/sbin/"
    cp "$arm/usr/bin/sg_start" "$root/usr/local/bin/"
    cp -a /usr/arm-linux-gnueabi/lib/*.so.* "$root/lib/"
    cp -a "$arm"/lib/arm-linux-gnueabi/libfuse3.so.* "$arm"/usr/lib/arm-linux-gnueabi/libsgutils2*.so.* \
        "$root/lib/"
    cp "$build/torpord" "$build/tests/support/torpor-leddrv" "$root/usr/sbin/"
    cp "$build/tests/support/torpor-fastclock.so" "$root/usr/lib/"
    # The disks' CRC module (crc-t10dif) names among its implementations one
    # for the ARMv8 Crypto Extensions (crct10dif-arm-ce), which the emulated
    # Cortex-A15 lacks.
    modules "$arm" "$version" "$root" '-ce\.ko$' ahci sd_mod sg usb-storage xhci-pci fuse loop overlay 9p \
        9pnet_virtio virtio_pci
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
    pack "$root" "$out/initrd.cpio"
}

# Boots the guest with its three disks, each a 32 MiB image file, and the
# source, build and output trees shared over 9p.
boot() {
    rm -rf "$out/tests" "$out/drives.log"
    for disk in hda usb1 usb2; do
        rm -f "$out/$disk.img"
        truncate -s 32M "$out/$disk.img"
    done
    local share=$out/share
    run_guest appliance "$out" "$limit" qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 1 -m 1024 -display none \
        -monitor none -nic none -serial stdio -no-reboot -kernel "$arm/boot/vmlinuz-$version" \
        -initrd "$out/initrd.cpio" -append "console=ttyAMA0 panic=-1 rdinit=/init" \
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
        -trace usb_packet_state_change || return 1
    [ -d "$share/tests" ] && mv "$share/tests" "$out/tests"
    return 0
}

assemble
boot
say "scenario 3: the drives' record beside the daemon's trace"
awk -v tests="$(grep -c '' "$out/initramfs/etc/tests")" -f "$here/summary.awk" "$out/share/disks" \
    "$out/share/spindownd.conf" "$out/console.log" "$out/drives.log"
