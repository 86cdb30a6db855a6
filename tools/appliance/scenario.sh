#!/bin/sh
# The scenarios inside the emulated appliance, over the real binaries.
#   scenario.sh tests   every test of the armel build, one process each as
#                       ctest runs them (the list comes from ctest on the host)
#   scenario.sh daemon  drives the torpord that init started, waiting for
#                       what the console shows (the host's record of it, on
#                       the shared /out/console.log); the host checks the rest
# shellcheck source=/dev/null # written by run.sh
. /etc/appliance
# shellcheck source=/dev/null # tools/appliance/lib.sh, checked on its own
. /lib/appliance.sh

tests() {
    say "scenario 1: the test suite begins"
    mkdir -p /out/tests
    passed=0 failed=0 skipped=0
    total=$(grep -c '' /etc/tests)
    tab=$(printf '\t')
    while IFS=$tab read -r dir name command; do
        log=/out/tests/$(echo "$name" | tr '/' '_').log
        # shellcheck disable=SC2086 # the test's command line, a word per argument
        (cd "$dir" && timeout -s KILL "$TEST_TIMEOUT" $command) > "$log" 2>&1 < /dev/null
        status=$?
        n=$((passed + failed + skipped + 1))
        if [ $status -ne 0 ]; then
            failed=$((failed + 1))
            say "test $n/$total failed ($status): $name"
        elif grep -q '^\[  SKIPPED \]' "$log"; then
            skipped=$((skipped + 1))
            say "test $n/$total skipped: $name: $(sed -n '/: Skipped$/{n;p;q}' "$log")"
        else
            passed=$((passed + 1))
            say "test $n/$total passed: $name"
        fi
    done < /etc/tests
    say "scenario 1: $passed passed, $failed failed, $skipped skipped"
}

zombie() {
    [ "$(cut -d' ' -f3 "/proc/$1/stat")" = Z ]
}

daemon() {
    bounded "$PATIENCE" "the pid file" test -s /var/run/torpord.pid || return 1
    pid=$(cat /var/run/torpord.pid)
    usb1=$(awk '$1 == "USB1" { print $2 }' /etc/disks)
    walk_end="(2): used="

    say "scenario 2: waiting for the spin-downs of all three disks"
    await 1 "torpord:IDE+FAN SPINDOWN!" && await 2 "torpord:USB SPINDOWN!" && next_cycle &&
        show_status || return 1
    say "scenario 2: reading $usb1"
    dd if="/dev/$usb1" of=/dev/null bs=4096 count=1 iflag=direct 2> /dev/null &&
        show_status && await 3 "torpord:USB SPINDOWN!" && show_status || return 1
    say "scenario 2: two more idle cycles"
    await $(($(seen "$walk_end") + 2)) "$walk_end" || return 1

    # Just after a walk the daemon starts its minute's wait: the reload must
    # cut it short. The new file sets 10 minutes, so nothing is spun down
    # again before the end.
    write_conf 600
    say "scenario 2: SIGHUP"
    kill -HUP "$pid"
    await 1 "torpord:Change SpinDownTime=10" && await 1 "$walk_end""1, count=0, minute=10" ||
        return 1
    say "scenario 2: SIGTERM"
    kill -TERM "$pid"
    # Field 52 of a zombie's stat is its wait status; init reaps nothing yet.
    bounded "$PATIENCE" "torpord's end" zombie "$pid" || return 1
    say "scenario 2: torpord ended, wait status $(cut -d' ' -f52 "/proc/$pid/stat")"
    await 1 "torpord:SIGTERM close fileds."
}

case $1 in
tests) tests ;;
daemon)
    daemon || say "scenario 2: stopped early"
    say "scenario 2 ends"
    end_now end
    ;;
esac
