#!/bin/sh
# Checks the Debian packages that cpack made in DIR: which packages there are,
# their control fields, their file lists with modes, and the installed paths
# named inside them.
# Usage: check-debs.sh DIR EXPECTED   (EXPECTED: deb-expected.sh of the build)
set -u
dir=$1
. "$2"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

scratch=$(mktemp -d "$dir/check.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

package_of() {
    case "$1" in
    runtime) echo libtorpor1 ;;
    dev) echo libtorpor-dev ;;
    daemon) echo torpord ;;
    esac
}

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

case "$TORPOR_DEB_ARCH" in
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

expected_files=""
for component in $TORPOR_COMPONENTS; do
    package=$(package_of "$component")
    expected_files="$expected_files ${package}_${TORPOR_VERSION}_${TORPOR_DEB_ARCH}.deb"
done
actual_files=$(cd "$dir" && ls -- *.deb 2>/dev/null | sort | tr '\n' ' ')
expected_files=$(echo $expected_files | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$actual_files" = "$expected_files" ] ||
    fail "packages in $dir are '$actual_files', expected '$expected_files'"

for component in $TORPOR_COMPONENTS; do
    package=$(package_of "$component")
    deb="$dir/${package}_${TORPOR_VERSION}_${TORPOR_DEB_ARCH}.deb"
    [ -f "$deb" ] || continue
    root="$scratch/$package"
    dpkg-deb -x "$deb" "$root" || fail "$package: cannot be unpacked"
    dpkg-deb -e "$deb" "$root/DEBIAN" || fail "$package: control area cannot be read"

    expect_field "$deb" Package "$package"
    expect_field "$deb" Version "$TORPOR_VERSION"
    expect_field "$deb" Architecture "$TORPOR_DEB_ARCH"
    expect_field "$deb" Maintainer "$TORPOR_MAINTAINER"
    expect_field "$deb" Priority optional
    [ "$(field "$deb" Description | sed -n 2p)" != "" ] || fail "$package: no long description"

    case "$component" in
    runtime)
        expect_field "$deb" Section libs
        expect_field_has "$deb" Depends "libc6 (>= "
        expect_text "$package" "$root/DEBIAN/shlibs" \
            "libtorpor $TORPOR_SOVERSION libtorpor1 (>= $TORPOR_VERSION)"
        grep -q ldconfig "$root/DEBIAN/postinst" 2>/dev/null || fail "$package: postinst runs no ldconfig"
        expect_elf "$package" "$root/usr/lib/libtorpor.so.$TORPOR_VERSION" "libtorpor.so.$TORPOR_SOVERSION"
        {
            dirs usr usr/lib
            echo "lrwxrwxrwx root/root ./usr/lib/libtorpor.so.$TORPOR_SOVERSION -> libtorpor.so.$TORPOR_VERSION"
            file_entry -rw-r--r-- "usr/lib/libtorpor.so.$TORPOR_VERSION"
        } | expect_contents "$deb" "$package"
        ;;
    dev)
        expect_field "$deb" Section libdevel
        expect_field_has "$deb" Depends "libtorpor1 (= $TORPOR_VERSION)"
        pc="$root/usr/lib/pkgconfig/torpor.pc"
        expect_text "$package" "$pc" "prefix=/usr"
        expect_text "$package" "$pc" "libdir=\${prefix}/lib"
        expect_text "$package" "$pc" "Version: $TORPOR_VERSION"
        gzip -t "$root/usr/share/man/man3/libtorpor.3.gz" || fail "$package: manual page is no gzip file"
        {
            dirs usr usr/include usr/include/torpor usr/lib usr/lib/cmake usr/lib/cmake/torpor \
                usr/lib/pkgconfig usr/share usr/share/man usr/share/man/man3
            for header in $TORPOR_HEADERS; do
                file_entry -rw-r--r-- "usr/include/torpor/$header"
            done
            for file in torporConfig.cmake torporConfigVersion.cmake torporTargets.cmake \
                "torporTargets-$TORPOR_CONFIG.cmake"; do
                file_entry -rw-r--r-- "usr/lib/cmake/torpor/$file"
            done
            file_entry -rw-r--r-- usr/lib/libtorpor.a
            echo "lrwxrwxrwx root/root ./usr/lib/libtorpor.so -> libtorpor.so.$TORPOR_SOVERSION"
            file_entry -rw-r--r-- usr/lib/pkgconfig/torpor.pc
            file_entry -rw-r--r-- usr/share/man/man3/libtorpor.3.gz
        } | expect_contents "$deb" "$package"
        ;;
    daemon)
        expect_field "$deb" Section admin
        expect_field_has "$deb" Depends "libc6 (>= "
        expect_text "$package" "$root/DEBIAN/conffiles" /etc/init.d/torpord
        expect_text "$package" "$root/DEBIAN/conffiles" /etc/default/torpord
        for script in postinst prerm postrm; do
            [ -x "$root/DEBIAN/$script" ] && sh -n "$root/DEBIAN/$script" ||
                fail "$package: $script missing or not a shell script"
        done
        expect_text "$package" "$root/etc/init.d/torpord" "DAEMON=/usr/sbin/torpord"
        expect_text "$package" "$root/etc/init.d/torpord" \
            "[ -r /etc/default/torpord ] && . /etc/default/torpord"
        unit="$root/usr/lib/systemd/system/torpord.service"
        expect_text "$package" "$unit" "Type=forking"
        expect_text "$package" "$unit" "PIDFile=/var/run/torpord.pid"
        expect_text "$package" "$unit" "ExecStart=/usr/sbin/torpord"
        expect_text "$package" "$unit" "ExecReload=/bin/kill -HUP \$MAINPID"
        expect_text "$package" "$unit" "EnvironmentFile=-/etc/default/torpord"
        gzip -t "$root/usr/share/man/man8/torpord.8.gz" || fail "$package: manual page is no gzip file"
        expect_elf "$package" "$root/usr/sbin/torpord"
        {
            dirs etc etc/default etc/init.d usr usr/lib usr/lib/systemd usr/lib/systemd/system \
                usr/sbin usr/share usr/share/man usr/share/man/man8
            file_entry -rw-r--r-- etc/default/torpord
            file_entry -rwxr-xr-x etc/init.d/torpord
            file_entry -rw-r--r-- usr/lib/systemd/system/torpord.service
            file_entry -rwxr-xr-x usr/sbin/torpord
            file_entry -rw-r--r-- usr/share/man/man8/torpord.8.gz
        } | expect_contents "$deb" "$package"
        ;;
    esac
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the packages in $dir failed"
    exit 1
fi
echo "packages in $dir: $expected_files- all checks passed"
