#!/bin/sh
# The manual pages format without a single groff warning, man-db finds their
# NAME lines, and the library's page names every function, variable and type
# that the installed headers declare.
# Usage: man_test.sh MANDIR HEADER...
set -u
mandir=$1
shift
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for page in "$mandir/torpord.8" "$mandir/libtorpor.3"; do
    warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: groff warns:
$warnings"
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: man warns:
$warnings"
    lexgrog "$page" >/dev/null || fail "$page: no NAME line that whatis can read"
done

# The library page as text on long lines without hyphenation, so that every
# name stands whole.
text=$(groff -man -Tascii -P-cbou -rLL=400n -rHY=0 "$mandir/libtorpor.3" 2>/dev/null)

# Names declared in a header: functions, extern variables, typedef'd structs.
declared() {
    awk '
        { line = $0 }
        incomment { if (sub(/.*\*\//, "", line)) incomment = 0; else next }
        { gsub(/\/\*.*\*\//, "", line); sub(/\/\/.*/, "", line) }
        sub(/\/\*.*/, "", line) { incomment = 1 }
        line ~ /^[A-Za-z]/ && line !~ /^(typedef|extern "C")/ && match(line, /[A-Za-z_][A-Za-z0-9_]*\(/) {
            print "function", substr(line, RSTART, RLENGTH - 1); next
        }
        line ~ /^extern / && match(line, /[A-Za-z_][A-Za-z0-9_]*;/) {
            print "name", substr(line, RSTART, RLENGTH - 1); next
        }
        line ~ /^} *[A-Za-z_][A-Za-z0-9_]*;/ {
            sub(/^} */, "", line); sub(/;.*/, "", line); print "name", line
        }
    ' "$1"
}

described() {
    printf '%s\n' "$text" | grep -q "$@"
}

count=0
for header in "$@"; do
    names=$(declared "$header")
    [ -n "$names" ] || fail "$header: no declarations found"
    while read -r kind name; do
        count=$((count + 1))
        what="$name of $(basename "$header")"
        if [ "$kind" = function ]; then
            described -E "[ *]$name\((void|[A-Za-z])" || fail "libtorpor(3) has no synopsis of $what"
            described -F "$name()" || fail "libtorpor(3) does not describe $what"
        else
            described -w -- "$name" || fail "libtorpor(3) does not name $what"
        fi
    done <<EOF_NAMES
$names
EOF_NAMES
    printf '%s\n' "$text" | grep -qF "#include <$(basename "$header")>" ||
        fail "libtorpor(3) does not name the header $(basename "$header")"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of the manual pages failed"
    exit 1
fi
echo "manual pages: no warnings; $count declarations of $# headers described"
