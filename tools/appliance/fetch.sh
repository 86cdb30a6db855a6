#!/bin/sh
# Fetches the emulated appliance's Debian packages with apt-get download
# through a private apt configuration (its own architectures, lists and
# cache under OUT/apt; the machine's sources and its dpkg stay as they are)
# and unpacks them. Packages already in OUT/debs are kept and not fetched
# again. Usage: fetch.sh OUT
set -eu
out=$(realpath "$1")
apt=$out/apt
debs=$out/debs
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$debs"
touch "$apt/status"
cat > "$apt/apt.conf" <<CONF
Dir::State::Lists "$apt/lists";
Dir::State::status "$apt/status";
Dir::Cache "$apt/cache";
APT::Architecture "armel";
APT::Architectures { "armel"; "armhf"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
CONF
export APT_CONFIG="$apt/apt.conf"

# The userland is armel, the appliance's ABI; the kernel is Debian's armhf
# multiplatform one, which runs it and knows QEMU's virt machine.
userland="busybox-static hdparm sg3-utils libsgutils2-1.46-2 libfuse3-3 libfuse3-dev"

update() {
    echo "updating the package lists for armel and armhf (apt-get update)"
    apt-get update >/dev/null
}

# The versioned kernel package that the metapackage names today.
kernel() {
    apt-cache depends linux-image-armmp:armhf |
        sed -n 's/^ *Depends: \(linux-image-[0-9].*-armmp\)\(:armhf\)\{0,1\}$/\1/p'
}

# Those of the kernel package named and the userland not yet in OUT/debs.
missing() {
    for pkg in "$1" $userland; do
        ls "$debs/${pkg%:*}_"*.deb >/dev/null 2>&1 || echo "$pkg"
    done
}

ls "$apt/lists/"*Packages* >/dev/null 2>&1 || update
image=$(kernel)
[ -n "$image" ] || { update; image=$(kernel); }
[ -n "$image" ] || { echo "fetch.sh: no linux-image-*-armmp in the archive" >&2; exit 1; }
want=$(missing "$image:armhf")
# shellcheck disable=SC2086 # $want: a word per package
if [ -n "$want" ]; then
    echo "fetching:" $want
    (cd "$debs" && apt-get download $want >/dev/null) ||
        { update && (cd "$debs" && apt-get download $want >/dev/null); }
fi

# Each package unpacked once, all into one armel tree (the kernel's files
# included); OUT/kernel names the kernel's version.
tree=$out/armel
mkdir -p "$tree"
for deb in "$debs"/*.deb; do
    stamp=$tree/.$(basename "$deb")
    [ -e "$stamp" ] || { dpkg-deb -x "$deb" "$tree" && touch "$stamp"; }
done
version=${image#linux-image-}
[ -e "$tree/lib/modules/$version/modules.dep" ] || depmod -b "$tree" "$version"
echo "$version" > "$out/kernel"
