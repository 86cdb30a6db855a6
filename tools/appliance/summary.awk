# Scenario 3: what QEMU recorded for each drive beside what the daemon
# traced, and every expectation of the run checked.
# Usage: awk -v tests=N -f summary.awk disks spindownd.conf console.log drives.log
# N: how many tests the ARM build has, all of which the guest must have run.
# disks: "ROLE NAME SG PORT" per disk (the guest's /etc/disks).
# console.log: "EPOCH TEXT" per console line, the host's time; the status
# file's lines as the scenario copied them are "torpord.status: LINE".
# drives.log: QEMU's trace events, "PID@EPOCH:EVENT ...".
# Prints the table and a timeline of the commands and the status file's
# copies; exits 1 on a difference.

function check(ok, what) {
    checks++
    failed += !ok
    printf "  %s %s\n", ok ? "ok    " : "FAILED", what
}

function event(t, text) {
    timeline[++events] = sprintf("%.6f %s", t, text)
}

function text_of(line) {
    return substr(line, index(line, " ") + 1)
}

# A spin-down command QEMU recorded for the drive.
function spun(role, t) {
    spun_at[role, ++spins[role]] = t
}

# How many the drive received since the daemon started, before time t.
function spun_before(role, t,    i, n) {
    for (i = 1; i <= spins[role]; i++)
        n += spun_at[role, i] >= start && spun_at[role, i] < t
    return n + 0
}

FILENAME == ARGV[1] {
    role_of[$2] = $1
    name_of[$1] = $2
    if ($4 != "-")
        port_role[$4] = $1
    next
}

FILENAME == ARGV[2] {
    split($0, field, "\t")
    label[++labels] = field[2]
    next
}

FILENAME == ARGV[3] {
    t = $1 + 0
    line = text_of($0)
    if (line == "appliance: scenario 2: torpord starts") start = t
    if (line == "appliance: scenario 2 ends") stop = t
    if (line == "appliance: stopped early" || line == "appliance: scenario 2: stopped early") early = 1
    if (line ~ /^appliance: scenario 1: [0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$/) {
        suite = line
        split(line, word, " ")
        ran = word[4] + word[8]
        suite_failed = word[6]
    }
    if (line ~ /^appliance: test [0-9]+\/[0-9]+ skipped: /) {
        skips++
        if (line !~ /^appliance: test [0-9]+\/[0-9]+ skipped: DaemonLeaks\..*valgrind/ &&
            line !~ /^appliance: test [0-9]+\/[0-9]+ skipped: Status\..*no time namespaces/)
            other_skips++
    }
    if (line == "appliance: scenario 2: SIGHUP") hup = t
    if (hup && !reload && line ~ /^torpord:0: ide=/) reload = t
    if (line ~ /^appliance: scenario 2: torpord ended, wait status /) {
        status = line
        sub(/.* /, "", status)
    }
    if (line == "torpord:SIGTERM close fileds.") term_traced++
    if (line ~ /^torpord\.status: # /)
        copied_at[++copies] = t
    else if (line ~ /^torpord\.status: /) {
        split(substr(line, 17), field, "\t")
        state[copies, role_of[field[2]]] = field[3]
        downs[copies, role_of[field[2]]] = field[6]
        copy_text[copies] = copy_text[copies] ", " field[2] " " field[3] "/" field[6]
    }
    if (line ~ /^torpord:start daemon open driver/) {
        started++
        event(t, "daemon  start (hdparm -S0 /dev/hda follows)")
    }
    if (line ~ /^torpord:[a-z0-9]+\([0-9]\): used=/) {
        entry = substr(line, 9, index(line, "(") - 9)
    }
    if (line == "torpord:IDE+FAN SPINDOWN!" || line == "torpord:USB SPINDOWN!") {
        traced[role_of[entry]]++
        event(t, "daemon  " substr(line, 9) " " entry)
    }
    if (line == "fan: 0") {
        fan_off++
        fan_off_at = t
        event(t, "fan     0 (the stand-in driver)")
    }
    for (i = 1; i <= labels; i++)
        if (index(line, "usbp=" label[i] ", sd="))
            shown[i] = 1
    next
}

{
    split($0, head, ":")
    t = substr(head[1], index(head[1], "@") + 1) + 0
    if ($0 ~ /:ide_exec_cmd /) {
        cmd = $NF
        if (cmd == "0xe3" || cmd == "0xe0") {
            ata[cmd]++
            ata_at[cmd] = t
            if (cmd == "0xe0")
                spun("IDE", t)
            event(t, "QEMU    " name_of["IDE"] " ATA command " cmd)
        }
    } else if ($0 ~ /:usb_packet_state_change /) {
        port = $5
        sub(/,/, "", port)
    } else if ($0 ~ /:scsi_req_parsed / && $9 == 27) {
        all_stops++
        pending = port_role[port]
    } else if ($0 ~ /:scsi_disk_new_request / && pending != "") {
        # The CDB: 0x1b, then byte 4 holds LOEJ (bit 1) and START (bit 0).
        byte4 = $10
        if (byte4 == "0x00") {
            stops[pending]++
            spun(pending, t)
        } else
            starts[pending]++
        event(t, "QEMU    " name_of[pending] " START STOP UNIT (0x1b) byte 4 " byte4)
        pending = ""
    }
}

END {
    expect_stops["IDE"] = 0
    expect_stops["USB1"] = 2
    expect_stops["USB2"] = 1
    printf "\n%-5s %-5s %-36s %-36s %s\n", "drive", "name", "QEMU recorded", "daemon traced", "expected"
    printf "%-5s %-5s %-36s %-36s %s\n", "IDE", name_of["IDE"],
        sprintf("0xE3 x%d, 0xE0 x%d", ata["0xe3"], ata["0xe0"]),
        sprintf("start x%d, fan: 0 x%d, IDE+FAN x%d", started, fan_off, traced["IDE"]), "1 each"
    for (r = 1; r <= 2; r++) {
        role = "USB" r
        printf "%-5s %-5s %-36s %-36s %s\n", role, name_of[role],
            sprintf("START STOP UNIT START=0 x%d", stops[role]) \
                (starts[role] ? sprintf(", START=1 x%d", starts[role]) : ""),
            sprintf("USB SPINDOWN! x%d", traced[role]), expect_stops[role]
    }
    # The status file after the three spin-downs, after the read of USB1, and
    # after USB1's second spin-down.
    split("spun-down active spun-down", usb1_state, " ")
    states_ok = counts_ok = copies == 3
    for (c = 1; c <= copies; c++) {
        event(copied_at[c], "status  " substr(copy_text[c], 3))
        for (role in name_of) {
            states_ok = states_ok && state[c, role] == (role == "USB1" ? usb1_state[c] : "spun-down")
            counts_ok = counts_ok && downs[c, role] == spun_before(role, copied_at[c])
        }
    }
    print "\ncommands in time order (seconds since scenario 2 began), and the status file (state/spin-downs):"
    n = 0
    for (i = 1; i <= events; i++) sorted[++n] = timeline[i]
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && sorted[j - 1] + 0 > sorted[j] + 0; j--) {
            swap = sorted[j]; sorted[j] = sorted[j - 1]; sorted[j - 1] = swap
        }
    for (i = 1; i <= n; i++)
        printf "  %8.3f %s\n", sorted[i] - start, text_of(sorted[i])
    printf "\nreload after SIGHUP: %.3f s; torpord's wait status after SIGTERM: %s\n",
        reload - hup, status
    print suite
    print "\nchecks:"
    check(tests > 0 && ran >= tests && suite_failed == 0,
          "the test suite in the guest passed: all " tests " tests of the ARM build ran")
    check(other_skips == 0, "only the valgrind leak check and the suspend check (no time namespaces) skipped")
    check(start && stop && !early, "the daemon scenario ran to its end")
    check(started == 1 && ata["0xe3"] == 1, "the internal disk received hdparm -S0's 0xE3 once")
    check(traced["IDE"] == 1 && fan_off == 1 && ata["0xe0"] == 1,
          "the internal disk received the fan-off and 0xE0 once")
    check(fan_off_at < ata_at["0xe0"], "the fan was switched off before 0xE0")
    for (r = 1; r <= 2; r++) {
        role = "USB" r
        check(stops[role] == expect_stops[role] && traced[role] == expect_stops[role] && !starts[role],
              role " received START STOP UNIT START=0 " expect_stops[role] " time(s), as traced")
    }
    check(all_stops == traced["USB1"] + traced["USB2"],
          "no START STOP UNIT but the daemon's in the whole run (" all_stops " in all)")
    check(states_ok, "the status file said spun-down after each spin-down, USB1 active after the read")
    check(counts_ok, "its spin-down counts matched QEMU's record each time")
    check(hup && reload && reload - hup <= 2, "the reload followed SIGHUP within 2 s")
    check(status == "0" && term_traced == 1, "SIGTERM ended torpord with status 0")
    for (i = 1; i <= labels; i++)
        check(shown[i], "the console showed the label '" label[i] "' as given")
    printf "%d checks, %d failed\n", checks, failed
    exit failed > 0
}
