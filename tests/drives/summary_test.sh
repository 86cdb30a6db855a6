#!/bin/sh
# make drives' checks (tools/appliance/drives.awk) over the record of a run
# that passed, cut down to the lines they read, and over copies altered so
# that one check's evidence is missing. Each copy must fail its own check
# and no other.
# Usage: summary_test.sh DRIVES_AWK
set -u
summary=$1
here=$(dirname "$0")
status=0
console=$(cat "$here/console.log")
kernel=$(cat "$here/kernel.log")
copy=$(mktemp)
trap 'rm -f "$copy"' EXIT

# NAME, the check expected to fail (its first words), the console log, the
# kernel log.
expect() {
    printf '%s\n' "$4" > "$copy"
    actual=$(printf '%s\n' "$3" | awk -f "$summary" "$here/drives" /dev/stdin "$copy" |
        sed -n 's/^  FAILED \([^:]*\).*/\1/p')
    if [ "$actual" != "$2" ]; then
        echo "$1: failed checks: '${actual:-none}'; expected: '${2:-none}'"
        status=1
    fi
}

# A copy of the text with the lines that hold PATTERN changed by sed's COMMAND.
alter() {
    printf '%s\n' "$1" | sed "/$2/$3"
}

expect "the recorded run" "" "$console" "$kernel"
expect "stopped early" "the scenarios ran to their end" \
    "$(alter "$console" ' drives: scenario 2 ends$' 'i 0 drives: scenario 2: stopped early')" "$kernel"
expect "a unit that answers good status" "a real stop" \
    "$(alter "$console" 'probe sdb: sense' 's/ 70 00 02 / 70 00 00 /')" "$kernel"
expect "an I/O error of USB1" "nothing lost" \
    "$console" "$(alter "$kernel" 'drives: probe sda: the rig sends' 'a [ 30.0] I/O error, dev sda, sector 0')"
expect "no I/O error logged for OTHER" "the rig can see the fault" \
    "$console" "$(alter "$kernel" 'I\/O error, dev sdd' d)"
expect "no trace of the mend not made" "a mend that cannot be made" \
    "$(alter "$console" 'SPINDOWN SKIPPED' d)" "$kernel"
expect "a second stop of USB2 while idle" "once" \
    "$console" "$(alter "$kernel" ' sd 1:0:0:0: .* cmd 1b 00 00 00 00 ' p)"
expect "a probe without -w" "no probe without -w" "$console" \
    "$(alter "$kernel" 'the rig reads and writes' 'a [ 30.0] sd 2:0:0:0: scsi_debug: tag=0x1, cmd 00 00 00 00 00 00 ')"
# shellcheck disable=SC2016 # a sed program: $ is its last line
expect "no second stop of USB2 with -w" "woken (-w)" "$console" \
    "$(alter "$kernel" 'scenario 3: torpord -w starts' ',${/ sd 1:0:0:0: .* cmd 1b 00 00 00 00 /d;}')"
expect "a stop of USB1 left alone" "asleep (-w)" "$console" \
    "$(alter "$kernel" 'drives: asleep sda: counters' 'a [ 60.0] sd 0:0:0:0: scsi_debug: tag=0x1, cmd 1b 00 00 00 00 00 ')"
[ $status -eq 0 ] && echo "drives.awk: each altered record fails its own check, the recorded run none"
exit $status
