#!/bin/sh
# make appliance's checks (tools/appliance/summary.awk) over the record of a
# run that passed, cut down to the lines they read, and over copies of it
# altered as a broken run would leave them: no test ran, the daemon scenario
# stopped early, the status file showed no spin-down. Each copy must fail its
# own checks and no other.
# Usage: summary_test.sh SUMMARY_AWK
set -u
summary=$1
here=$(dirname "$0")
tests=115
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
expect "no spin-down in the status file" \
    "$(printf '%s\n' "the status file said spun-down after each spin-down, USB1 active after the read" \
        "its spin-down counts matched QEMU's record each time")" \
    "$(printf '%s\n' "$console" |
        sed -E 's/^([0-9.]+ torpord\.status: [^\t]*\t[^\t]*\t)[a-z-]+(\t[0-9]+\t[0-9]+\t)[0-9]+/\1idle\20/')"
[ $status -eq 0 ] && echo "summary.awk: each altered record fails its own checks, the recorded run none"
exit $status
