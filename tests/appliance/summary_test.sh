#!/bin/sh
# make appliance's checks (tools/appliance/summary.awk) over the record of a
# run that passed, cut down to the lines they read, and over two copies of
# it altered as a broken run would leave them: no test ran, or the daemon
# scenario stopped early. Each copy must fail its own check and no other.
# Usage: summary_test.sh SUMMARY_AWK
set -u
summary=$1
here=$(dirname "$0")
tests=107
status=0

# NAME, the checks expected to fail (one a line), the console log.
expect() {
    actual=$(printf '%s\n' "$3" |
        awk -v tests=$tests -f "$summary" "$here/disks" "$here/spindownd.conf" /dev/stdin \
            "$here/drives.log" | sed -n 's/^  FAILED //p')
    if [ "$actual" != "$2" ]; then
        echo "$1: failed checks: '${actual:-none}'; expected: '${2:-none}'"
        status=1
    fi
}

console=$(cat "$here/console.log")
expect "the recorded run" "" "$console"
expect "no test ran" "the test suite in the guest passed: all $tests tests of the ARM build ran" \
    "$(printf '%s\n' "$console" | sed 's/scenario 1: .* passed, .*/scenario 1: 0 passed, 0 failed, 0 skipped/')"
expect "stopped early" "the daemon scenario ran to its end" \
    "$(printf '%s\n' "$console" | sed '/ appliance: scenario 2 ends$/i 0 appliance: scenario 2: stopped early')"
[ $status -eq 0 ] && echo "summary.awk: each altered record fails its own check, the recorded run none"
exit $status
