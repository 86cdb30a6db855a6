#!/bin/bash
# The drive-model machine: boots Debian's amd64 kernel on QEMU (software
# emulation) with four scsi_debug disks, units that really stop, installs
# the project's amd64 packages, runs the scenarios of drives-init inside it
# and checks the record (drives.awk): the console, and the kernel log with
# scsi_debug's line for every command each unit received.
# Usage (as root): drives.sh DEB_DIR FASTCLOCK_SO OUT   (OUT as "fetch.sh OUT
# amd64" left it; DEB_DIR holds the torpord and libtorpor1 packages)
# Writes OUT/console.log (the guest's console, each line with the host's
# time) and OUT/kernel.log (the guest's kernel log); exits 0 only when every
# check passed.
set -euo pipefail

here=$(dirname "$(realpath "$0")")
say() { echo "drives: $*"; }
# shellcheck source=/dev/null # tools/appliance/host.sh, checked on its own
. "$here/host.sh"

debs=$(realpath "$1") shim=$(realpath "$2") out=$(realpath "$3")
tree=$out/amd64
version=$(cat "$out/kernel")
# Seconds for the whole emulated run and for any one wait in the guest; the
# fast clock makes a daemon minute six seconds, as in the appliance.
limit=${DRIVES_LIMIT:-300} patience=60 fast_clock=10

# The initramfs: busybox as the userland and /bin/sh, the packages as
# dpkg-deb unpacks them, Debian's sg_start at the daemon's path and the
# rig's own SCSI tools, their C library from the build machine (Debian 12
# too), the fast clock, and the modules for the disks and the 9p share.
assemble() {
    local root=$out/initramfs lib
    skeleton "$root" "$tree/bin/busybox"
    mkdir -p "$root/usr/lib64" "$root/usr/lib/x86_64-linux-gnu"
    ln -s usr/lib64 "$root/lib64"
    # As dpkg-deb -x would unpack them, but into Debian's layout: the
    # packages' /lib goes to /usr/lib, which /lib names.
    for deb in "$debs"/torpord_*_amd64.deb "$debs"/libtorpor1_*_amd64.deb; do
        dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$root"
    done
    cp "$tree/usr/bin/sg_start" "$root/usr/local/bin/"
    cp "$tree/usr/bin/sg_requests" "$tree/usr/bin/sg_turs" "$root/usr/bin/"
    cp "$shim" "$root/usr/lib/torpor-fastclock.so"
    for lib in $(LD_LIBRARY_PATH=$tree/usr/lib/x86_64-linux-gnu ldd "$root/usr/sbin/torpord" \
        "$root"/usr/{local/,}bin/sg_* | awk '$2 == "=>" && $3 ~ /^\// { print $3 }' | sort -u); do
        cp -L "$lib" "$root/usr/lib/x86_64-linux-gnu/"
    done
    cp -L /lib64/ld-linux-x86-64.so.2 "$root/usr/lib64/"
    # The disks' CRC module (crc-t10dif) names among its implementations one
    # for the PCLMULQDQ instruction, which QEMU's default processor lacks;
    # crc64-rocksoft asks for its generic implementation, which it does not name.
    modules "$tree" "$version" "$root" '-pclmul\.ko$' crct10dif_generic crc64_rocksoft_generic \
        sd_mod sg 9p 9pnet_virtio virtio_pci scsi_debug
    # Four disks of 16 MiB, each on a host of its own with a store of its
    # own; opts=1 logs every command a disk receives.
    sed -i 's|/scsi_debug\.ko$|& dev_size_mb=16 ptype=0 add_host=4 per_host_store=1 opts=1|' \
        "$root/etc/modules"
    cat > "$root/etc/appliance" <<EOF
RIG=drives
PATIENCE=$patience
FAST_CLOCK=$fast_clock
EOF
    cp "$here/drives-init" "$root/init"
    pack "$root" "$out/initrd.cpio"
}

assemble
run_guest drives "$out" "$limit" qemu-system-x86_64 -smp 1 -m 512 -display none -monitor none \
    -nic none -serial stdio -no-reboot -kernel "$tree/boot/vmlinuz-$version" \
    -initrd "$out/initrd.cpio" \
    -append "console=ttyS0 panic=-1 rdinit=/init loglevel=3 log_buf_len=4M" \
    -fsdev local,id=out,path="$out/share",security_model=none \
    -device virtio-9p-pci,fsdev=out,mount_tag=out
cp "$out/share/kernel.log" "$out/kernel.log"
say "scenario 3: the drives' record beside the daemon's trace"
awk -f "$here/drives.awk" "$out/share/drives" "$out/console.log" "$out/kernel.log"
