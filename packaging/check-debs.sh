#!/bin/sh
# Checks the Debian packages that packaging/build-debs.sh made in DIR for the
# Debian architecture ARCH: which packages there are, their control fields and
# control files, their file lists with modes, and the installed paths named
# inside them.
# Usage: check-debs.sh DIR ARCH EXPECTED   (EXPECTED: deb-expected.sh of a build)
set -u
dir=$1
arch=$2
. "$3"
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null) || exit 1
libdir=usr/lib/$multiarch

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

scratch=$(mktemp -d "$dir/check.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

# "mode owner path[ -> target]" of every entry, as dpkg-deb -c lists them.
contents() {
    dpkg-deb -c "$1" | awk '{ line = $1 " " $2; for (i = 6; i <= NF; i++) line = line " " $i; print line }'
}

expect_contents() {
    deb=$1
    name=$2
    sort >"$scratch/$name.expected"
    contents "$deb" | sort >"$scratch/$name.actual"
    if ! diff -u "$scratch/$name.expected" "$scratch/$name.actual" >"$scratch/$name.diff"; then
        fail "$name: contents differ (- expected, + actual)"
        cat "$scratch/$name.diff"
    fi
}

field() {
    dpkg-deb -f "$1" "$2"
}

expect_field() {
    actual=$(field "$1" "$2")
    [ "$actual" = "$3" ] || fail "$(basename "$1"): $2 is '$actual', expected '$3'"
}

expect_field_has() {
    case ", $(field "$1" "$2"), " in
    *", $3"*) ;;
    *) fail "$(basename "$1"): $2 '$(field "$1" "$2")' does not name $3" ;;
    esac
}

expect_text() {
    grep -qxF -- "$3" "$2" || fail "$1: no line '$3' in $(basename "$2")"
}

dirs() {
    for d in "$@"; do
        echo "drwxr-xr-x root/root ./$d/"
    done
}

file_entry() {
    echo "$1 root/root ./$2"
}

case "$arch" in
amd64) machine="Advanced Micro Devices X86-64" ;;
armel) machine="ARM" ;;
*) machine="" ;;
esac

# The libraries' ELF headers name the right machine, the soname and no
# symbol table left after stripping.
expect_elf() {
    what=$1
    elf=$2
    if [ -n "$machine" ]; then
        readelf -h "$elf" | grep -q "Machine: *$machine\$" || fail "$what: not built for $machine"
    fi
    if [ -n "${3:-}" ]; then
        readelf -d "$elf" | grep -qF "Library soname: [$3]" || fail "$what: soname is not $3"
    fi
    readelf -S "$elf" | grep -q ' \.symtab ' && fail "$what: not stripped"
}

packages="torpord libtorpor1 libtorpor-dev"
expected_files=$(for package in $packages; do echo "${package}_${TORPOR_VERSION}_$arch.deb"; done |
    sort | tr '\n' ' ')
actual_files=$(cd "$dir" && ls -- *.deb 2>/dev/null | sort | tr '\n' ' ')
[ "$actual_files" = "$expected_files" ] ||
    fail "packages in $dir are '$actual_files', expected '$expected_files'"

# What every package holds: the top directory, and the directories from
# usr/share down to its copyright and changelog.
common_contents() {
    echo "drwxr-xr-x root/root ./"
    dirs usr/share usr/share/doc "usr/share/doc/$1"
    file_entry -rw-r--r-- "usr/share/doc/$1/changelog.gz"
    file_entry -rw-r--r-- "usr/share/doc/$1/copyright"
}

for package in $packages; do
    deb="$dir/${package}_${TORPOR_VERSION}_$arch.deb"
    [ -f "$deb" ] || continue
    root="$scratch/$package"
    dpkg-deb -x "$deb" "$root" || fail "$package: cannot be unpacked"
    dpkg-deb -e "$deb" "$root/DEBIAN" || fail "$package: control area cannot be read"

    expect_field "$deb" Package "$package"
    expect_field "$deb" Version "$TORPOR_VERSION"
    expect_field "$deb" Architecture "$arch"
    expect_field "$deb" Priority optional
    [ "$(field "$deb" Description | sed -n 2p)" != "" ] || fail "$package: no long description"
    grep -qx 'License: all-rights-reserved' "$root/usr/share/doc/$package/copyright" ||
        fail "$package: copyright does not say that all rights are reserved"

    case "$package" in
    libtorpor1)
        expect_field "$deb" Section libs
        expect_field "$deb" Multi-Arch same
        expect_field_has "$deb" Depends "libc6 (>= "
        expect_text "$package" "$root/DEBIAN/shlibs" \
            "libtorpor $TORPOR_SOVERSION libtorpor1 (>= $TORPOR_VERSION)"
        expect_text "$package" "$root/DEBIAN/symbols" \
            "libtorpor.so.$TORPOR_SOVERSION libtorpor1 #MINVER#"
        expect_text "$package" "$root/DEBIAN/triggers" "activate-noawait ldconfig"
        expect_elf "$package" "$root/$libdir/libtorpor.so.$TORPOR_VERSION" "libtorpor.so.$TORPOR_SOVERSION"
        {
            dirs usr usr/lib "$libdir"
            echo "lrwxrwxrwx root/root ./$libdir/libtorpor.so.$TORPOR_SOVERSION -> libtorpor.so.$TORPOR_VERSION"
            file_entry -rw-r--r-- "$libdir/libtorpor.so.$TORPOR_VERSION"
            common_contents "$package"
        } | expect_contents "$deb" "$package"
        ;;
    libtorpor-dev)
        expect_field "$deb" Section libdevel
        expect_field "$deb" Multi-Arch same
        expect_field_has "$deb" Depends "libtorpor1 (= $TORPOR_VERSION)"
        pc="$root/$libdir/pkgconfig/torpor.pc"
        expect_text "$package" "$pc" "prefix=/usr"
        expect_text "$package" "$pc" "libdir=\${prefix}/lib/$multiarch"
        expect_text "$package" "$pc" "Version: $TORPOR_VERSION"
        gzip -t "$root/usr/share/man/man3/libtorpor.3.gz" || fail "$package: manual page is no gzip file"
        {
            dirs usr usr/include usr/include/torpor usr/lib "$libdir" "$libdir/cmake" \
                "$libdir/cmake/torpor" "$libdir/pkgconfig" usr/share/man usr/share/man/man3
            for header in $TORPOR_HEADERS; do
                file_entry -rw-r--r-- "usr/include/torpor/$header"
            done
            for file in torporConfig.cmake torporConfigVersion.cmake torporTargets.cmake \
                torporTargets-none.cmake; do
                file_entry -rw-r--r-- "$libdir/cmake/torpor/$file"
            done
            file_entry -rw-r--r-- "$libdir/libtorpor.a"
            echo "lrwxrwxrwx root/root ./$libdir/libtorpor.so -> libtorpor.so.$TORPOR_SOVERSION"
            file_entry -rw-r--r-- "$libdir/pkgconfig/torpor.pc"
            file_entry -rw-r--r-- usr/share/man/man3/libtorpor.3.gz
            common_contents "$package"
        } | expect_contents "$deb" "$package"
        ;;
    torpord)
        expect_field "$deb" Section admin
        expect_field_has "$deb" Depends "libc6 (>= "
        expect_text "$package" "$root/DEBIAN/conffiles" /etc/init.d/torpord
        expect_text "$package" "$root/DEBIAN/conffiles" /etc/default/torpord
        for script in preinst postinst prerm postrm; do
            [ -x "$root/DEBIAN/$script" ] && sh -n "$root/DEBIAN/$script" ||
                fail "$package: $script missing or not a shell script"
        done
        # Registered with both init systems, enabled by neither.
        grep -q 'update-rc.d torpord defaults-disabled' "$root/DEBIAN/postinst" ||
            fail "$package: postinst does not register the init script disabled"
        grep -q "deb-systemd-helper update-state 'torpord.service'" "$root/DEBIAN/postinst" ||
            fail "$package: postinst does not record the unit's state"
        grep -q 'was-enabled defaults to true' "$root/DEBIAN/postinst" &&
            fail "$package: postinst enables the unit"
        expect_text "$package" "$root/etc/init.d/torpord" "DAEMON=/usr/sbin/torpord"
        expect_text "$package" "$root/etc/init.d/torpord" \
            "[ -r /etc/default/torpord ] && . /etc/default/torpord"
        unit="$root/lib/systemd/system/torpord.service"
        expect_text "$package" "$unit" "Type=forking"
        expect_text "$package" "$unit" "PIDFile=/var/run/torpord.pid"
        expect_text "$package" "$unit" "ExecStart=/usr/sbin/torpord"
        expect_text "$package" "$unit" "ExecReload=/bin/kill -HUP \$MAINPID"
        expect_text "$package" "$unit" "EnvironmentFile=-/etc/default/torpord"
        gzip -t "$root/usr/share/man/man8/torpord.8.gz" || fail "$package: manual page is no gzip file"
        expect_elf "$package" "$root/usr/sbin/torpord"
        {
            dirs etc etc/default etc/init.d lib lib/systemd lib/systemd/system \
                usr usr/sbin usr/share/man usr/share/man/man8
            file_entry -rw-r--r-- etc/default/torpord
            file_entry -rwxr-xr-x etc/init.d/torpord
            file_entry -rw-r--r-- lib/systemd/system/torpord.service
            file_entry -rwxr-xr-x usr/sbin/torpord
            file_entry -rw-r--r-- usr/share/man/man8/torpord.8.gz
            common_contents "$package"
        } | expect_contents "$deb" "$package"
        ;;
    esac
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the packages in $dir failed"
    exit 1
fi
echo "packages in $dir: $expected_files- all checks passed"
