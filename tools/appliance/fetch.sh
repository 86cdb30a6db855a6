#!/bin/sh
# Fetches an emulated machine's Debian packages with apt-get download
# through a private apt configuration (its own architectures, lists and
# cache under OUT/apt; the machine's sources and its dpkg stay as they are)
# and unpacks them. Packages already in OUT/debs are kept and not fetched
# again. Usage: fetch.sh OUT [MACHINE]
#   armel  the appliance (the default)
#   amd64  the drive-model machine of make drives
set -eu
out=$(realpath "$1")
machine=${2:-armel}
apt=$out/apt
debs=$out/debs

case $machine in
armel)
    # The userland is armel, the appliance's ABI; the kernel is Debian's armhf
    # multiplatform one, which runs it and knows QEMU's virt machine.
    arches="armel armhf" flavour=armmp karch=armhf
    userland="busybox-static hdparm sg3-utils libsgutils2-1.46-2 libfuse3-3 libfuse3-dev"
    ;;
amd64)
    # Debian's amd64 kernel has scsi_debug; the C library is the build machine's.
    arches=amd64 flavour=amd64 karch=amd64
    userland="busybox-static sg3-utils libsgutils2-1.46-2"
    ;;
*) echo "fetch.sh: unknown machine: $machine" >&2; exit 2 ;;
esac

mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$debs"
touch "$apt/status"
# Acquire::Retries: apt itself tries a failed file again, waiting longer each time.
# shellcheck disable=SC2086 # $arches: a word per architecture
cat > "$apt/apt.conf" <<CONF
Dir::State::Lists "$apt/lists";
Dir::State::status "$apt/status";
Dir::Cache "$apt/cache";
APT::Architecture "${arches%% *}";
APT::Architectures { $(printf '"%s"; ' $arches)};
APT::Sandbox::User "root";
Acquire::Languages "none";
Acquire::Retries "3";
CONF
export APT_CONFIG="$apt/apt.conf"

# Its status is not what counts: an index this machine does not need (another
# source's, or one for an architecture it takes nothing from) may fail while
# a mirror syncs. Whether the packages download decides.
update() {
    echo "updating the package lists for $arches (apt-get update)"
    apt-get update > "$apt/update.log" 2>&1 ||
        echo "some package lists failed to update (see $apt/update.log); going on with those there are"
}

# The versioned kernel package that the metapackage names today.
kernel() {
    apt-cache depends "linux-image-$flavour:$karch" |
        sed -n "s/^ *Depends: \(linux-image-[0-9].*-$flavour\)\(:$karch\)\{0,1\}\$/\1/p"
}

# Those of the kernel package named and the userland not yet in OUT/debs.
missing() {
    for pkg in "$1" $userland; do
        ls "$debs/${pkg%:*}_"*.deb >/dev/null 2>&1 || echo "$pkg"
    done
}

# shellcheck disable=SC2086 # $want: a word per package
download() {
    (cd "$debs" && apt-get download $want >/dev/null)
}

ls "$apt/lists/"*Packages* >/dev/null 2>&1 || update
image=$(kernel)
[ -n "$image" ] || { update; image=$(kernel); }
[ -n "$image" ] || { echo "fetch.sh: no linux-image-*-$flavour in the archive" >&2; exit 1; }
want=$(missing "$image:$karch")
# shellcheck disable=SC2086 # $want: a word per package
if [ -n "$want" ]; then
    echo "fetching:" $want
    download || { update && download; } || { echo "fetch.sh: cannot download:" $want >&2; exit 1; }
fi

# Each package unpacked once, all into one tree (the kernel's files
# included); OUT/kernel names the kernel's version.
tree=$out/$machine
mkdir -p "$tree"
for deb in "$debs"/*.deb; do
    stamp=$tree/.$(basename "$deb")
    [ -e "$stamp" ] || { dpkg-deb -x "$deb" "$tree" && touch "$stamp"; }
done
version=${image#linux-image-}
[ -e "$tree/lib/modules/$version/modules.dep" ] || depmod -b "$tree" "$version"
echo "$version" > "$out/kernel"
