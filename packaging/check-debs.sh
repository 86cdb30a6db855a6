#!/bin/sh
# Checks the Debian packages that packaging/build-debs.sh made in DIR for the
# Debian architecture ARCH for what lintian (control files, owners,
# dependencies, stripping, the binaries' machine) and the symbols file (the
# library's soname and interface) leave out: which packages there are, the
# files each holds with their modes, the fields debian/control sets, the
# copyright, the daemon registered with both init systems but enabled by
# neither, the installed paths in its init files.
# Usage: check-debs.sh DIR ARCH EXPECTED   (EXPECTED: deb-expected.sh of a build)
set -u
dir=$1
arch=$2
# shellcheck source=/dev/null # written by the build (packaging/CMakeLists.txt)
. "$3"
libdir=usr/lib/$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null) || exit 1
packages="torpord libtorpor1 libtorpor-dev"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

scratch=$(mktemp -d "$dir/check.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

# The package's files and links, "mode path[ -> target]" as dpkg-deb -c lists
# them, against those in $scratch/files and the two every package has.
expect_contents() {
    {
        cat "$scratch/files"
        echo "-rw-r--r-- ./usr/share/doc/$package/changelog.gz"
        echo "-rw-r--r-- ./usr/share/doc/$package/copyright"
    } | sort >"$scratch/$package.expected"
    dpkg-deb -c "$deb" |
        awk '$1 !~ /^d/ { line = $1; for (i = 6; i <= NF; i++) line = line " " $i; print line }' |
        sort >"$scratch/$package.actual"
    diff -u "$scratch/$package.expected" "$scratch/$package.actual" ||
        fail "$package: contents differ (- expected, + actual)"
}

expect_field() {
    actual=$(dpkg-deb -f "$deb" "$1")
    [ "$actual" = "$2" ] || fail "$package: $1 is '$actual', expected '$2'"
}

expect_text() {
    grep -qxF -- "$2" "$root/$1" || fail "$package: no line '$2' in $1"
}

expected_files=$(for package in $packages; do echo "${package}_${TORPOR_VERSION}_$arch.deb"; done |
    sort | tr '\n' ' ')
actual_files=$(cd "$dir" && printf '%s\n' *.deb | sort | tr '\n' ' ')
[ "$actual_files" = "$expected_files" ] ||
    fail "packages in $dir are '$actual_files', expected '$expected_files'"

for package in $packages; do
    deb="$dir/${package}_${TORPOR_VERSION}_$arch.deb"
    [ -f "$deb" ] || continue
    root="$scratch/$package"
    dpkg-deb -x "$deb" "$root" || fail "$package: cannot be unpacked"
    dpkg-deb -e "$deb" "$root/DEBIAN" || fail "$package: control area cannot be read"
    expect_field Priority optional
    expect_text "usr/share/doc/$package/copyright" "License: all-rights-reserved"

    case "$package" in
    libtorpor1)
        expect_field Section libs
        expect_field Multi-Arch same
        {
            echo "lrwxrwxrwx ./$libdir/libtorpor.so.$TORPOR_SOVERSION -> libtorpor.so.$TORPOR_VERSION"
            echo "-rw-r--r-- ./$libdir/libtorpor.so.$TORPOR_VERSION"
        } >"$scratch/files"
        ;;
    libtorpor-dev)
        expect_field Section libdevel
        expect_field Multi-Arch same
        expect_text "$libdir/pkgconfig/torpor.pc" "prefix=/usr"
        expect_text "$libdir/pkgconfig/torpor.pc" "libdir=\${prefix}/lib/${libdir#usr/lib/}"
        expect_text "$libdir/pkgconfig/torpor.pc" "Version: $TORPOR_VERSION"
        {
            for header in $TORPOR_HEADERS; do
                echo "-rw-r--r-- ./usr/include/torpor/$header"
            done
            for file in torporConfig.cmake torporConfigVersion.cmake torporTargets.cmake \
                torporTargets-none.cmake; do
                echo "-rw-r--r-- ./$libdir/cmake/torpor/$file"
            done
            echo "-rw-r--r-- ./$libdir/libtorpor.a"
            echo "lrwxrwxrwx ./$libdir/libtorpor.so -> libtorpor.so.$TORPOR_SOVERSION"
            echo "-rw-r--r-- ./$libdir/pkgconfig/torpor.pc"
            echo "-rw-r--r-- ./usr/share/man/man3/libtorpor.3.gz"
        } >"$scratch/files"
        ;;
    torpord)
        expect_field Section admin
        for script in preinst postinst prerm postrm; do
            [ -f "$root/DEBIAN/$script" ] || fail "$package: no $script"
        done
        grep -q 'update-rc.d torpord defaults-disabled' "$root/DEBIAN/postinst" ||
            fail "$package: postinst does not register the init script disabled"
        grep -q "deb-systemd-helper update-state 'torpord.service'" "$root/DEBIAN/postinst" ||
            fail "$package: postinst does not record the unit's state"
        grep -q 'was-enabled defaults to true' "$root/DEBIAN/postinst" &&
            fail "$package: postinst enables the unit"
        expect_text etc/init.d/torpord "DAEMON=/usr/sbin/torpord"
        expect_text etc/init.d/torpord "[ -r /etc/default/torpord ] && . /etc/default/torpord"
        for line in Type=forking PIDFile=/var/run/torpord.pid "ExecStart=/usr/sbin/torpord \$TORPORD_OPTS" \
            "ExecReload=/bin/kill -HUP \$MAINPID" EnvironmentFile=-/etc/default/torpord; do
            expect_text lib/systemd/system/torpord.service "$line"
        done
        {
            echo "-rw-r--r-- ./etc/default/torpord"
            echo "-rwxr-xr-x ./etc/init.d/torpord"
            echo "-rw-r--r-- ./lib/systemd/system/torpord.service"
            echo "-rwxr-xr-x ./usr/sbin/torpord"
            echo "-rw-r--r-- ./usr/share/man/man8/torpord.8.gz"
        } >"$scratch/files"
        ;;
    esac
    expect_contents
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the packages in $dir failed"
    exit 1
fi
echo "packages in $dir: $expected_files- all checks passed"
