# The drive-model machine's checks: what each scsi_debug unit received
# (its own record in the kernel log), what the rig's probes saw, and what
# the daemon traced, first without an option (scenario 2), then with -w
# (scenario 3).
# Usage: awk -f drives.awk drives console.log kernel.log
# drives: "ROLE NAME SG H:C:T:L" per disk: USB1, USB2 and USB3 watched by
# torpord (USB3 with an allow_restart that cannot be written), OTHER not.
# console.log: "EPOCH TEXT" per console line, the host's time; the rig's
# lines begin "drives: ", the status file's copies "torpord.status: ".
# kernel.log: the guest's dmesg; scsi_debug logs every command it receives
# ("sd H:C:T:L: scsi_debug: tag=T, cmd BYTES"), the rig marks its steps
# ("drives: TEXT"); a disk's commands between "drives: STEP NAME: the rig
# sends" and "drives: the rig is done" are the rig's, the others after
# "drives: scenario 2: torpord starts" the daemon's.
# Prints a table of the disks and the checks; exits 1 when one failed.

function check(ok, what) {
    checks++
    failed += !ok
    printf "  %s %s\n", ok ? "ok    " : "FAILED", what
}

function text_of(line) {
    return substr(line, index(line, " ") + 1)
}

# Whether REQUEST SENSE's bytes (hex, as sg_requests prints them) say NOT
# READY, 04/02: logical unit not ready, initializing command required.
function stopped_sense(hex,    byte, n) {
    n = split(hex, byte, " ")
    if (byte[1] == "70" || byte[1] == "71")
        return n >= 14 && substr(byte[3], 2) == "2" && byte[13] == "04" && byte[14] == "02"
    if (byte[1] == "72" || byte[1] == "73")
        return n >= 4 && substr(byte[2], 2) == "2" && byte[3] == "04" && byte[4] == "02"
    return 0
}

# "NAME=VALUE ..." into the array.
function attributes(text, value,    pair, n, i, kv) {
    n = split(text, pair, " ")
    for (i = 1; i <= n; i++) {
        split(pair[i], kv, "=")
        value[kv[1]] = kv[2]
    }
}

FILENAME == ARGV[1] {
    name[$1] = $2
    role_of[$2] = $1
    role_of_unit[$4] = $1
    next
}

FILENAME == ARGV[2] {
    t = $1 + 0
    line = text_of($0)
    split(line, w, " ")
    disk = substr(w[3], 1, length(w[3]) - 1)
    if (line == "drives: scenario 2: torpord starts") {
        start = t
        scene = 2
    }
    if (line == "drives: scenario 3: torpord -w starts") scene = 3
    if (line == "drives: scenario 3 ends") stop = t
    if (line ~ /^drives: (scenario [23]: )?stopped early$/) early = 1
    if (line ~ /^drives: allow_restart at boot: /) attributes(substr(line, 31), at_boot)
    if (line ~ /^drives: allow_restart after the spin-downs: /) attributes(substr(line, 44), after_downs)
    if (line ~ /^drives: allow_restart of [a-z]+: read-only$/) locked[substr(w[4], 1, length(w[4]) - 1)] = 1
    if (line ~ /^drives: read [a-z]+: /)
        read_result[disk] = substr(line, length("drives: read " disk ": ") + 1)
    if (line ~ /^drives: write [a-z]+: ok; read back: ok, the same bytes$/)
        written[disk] = 1
    # The rig's steps: "drives: STEP NAME: WHAT".
    if (line ~ /^drives: [a-z]+ [a-z]+: /) {
        step = w[2]
        if (step == "probe") probed = t
        text = substr(line, length("drives: " step " " disk ": " w[4] " ") + 1)
        if (w[4] == "counters")
            counters[step, disk, ++samples[step, disk]] = text
        if (w[4] == "sense") sense[step, disk] = text
        if (w[4] == "TEST" && w[7] == "status") {
            ready[step, disk] = w[8] == "0"
            ready_cycle[step, disk] = cycles
        }
        if (w[4] == "started") wake_cycle[scene] = cycles
    }
    if (line ~ /^drives: scenario 2: the rig reads and writes /) io = t
    if (line == "torpord:checkUsbHddIO") cycles++
    if (line == "torpord:checkUsbHddIO" && probed && !io) idle_cycles++
    if (line ~ /^torpord:[a-z0-9]+\([0-9]+\): used=/)
        entry = substr(line, 9, index(line, "(") - 9)
    if (line == "torpord:USB SPINDOWN!") traced[role_of[entry]]++
    if (line == "torpord:USB SPINDOWN SKIPPED, CANNOT SET allow_restart!") skipped[role_of[entry]]++
    if (line == "torpord:USB WOKEN WITHOUT I/O, SPINDOWN AGAIN!" && !(role_of[entry] in woken_after))
        woken_after[role_of[entry]] = cycles - wake_cycle[scene]
    # The status file's fields, found by the header's names.
    if (line ~ /^torpord\.status: # /) {
        copied_at[++copies] = t
        copy_scene[copies] = scene
        header = substr(line, 17)
        sub(/^# torpord [0-9]+: /, "", header)
        n = split(header, names, "\t")
        split("", column)
        for (i = 1; i <= n; i++) column[names[i]] = i
    } else if (line ~ /^torpord\.status: /) {
        split(substr(line, 17), field, "\t")
        role = role_of[field[column["device"]]]
        state[copies, role] = field[column["state"]]
        spin_downs[copies, role] = field[column["spin-downs"]]
        wakes[copies, role] = field[column["wakes"]]
    }
    next
}

{
    line = $0
    sub(/^\[[ 0-9.]*\] /, "", line)
    split(line, word, " ")
    marked = role_of[substr(word[3], 1, length(word[3]) - 1)]
    if (line ~ /^drives: probe [a-z]+: /) probing[marked] = 1
    if (line == "drives: scenario 2: torpord starts") kscene = 2
    if (line == "drives: scenario 3: torpord -w starts") kscene = 3
    if (line ~ /^drives: scenario 2: the rig reads and writes /) after_io = 1
    if (line ~ /^drives: [a-z]+ [a-z]+: the rig sends$/) {
        rig = marked
        if (word[2] == "wake") woken_by_rig[kscene, rig] = 1
        if (word[2] == "asleep" && left_alone[rig] == 1) left_alone[rig] = 2
    }
    if (line == "drives: the rig is done") rig = ""
    if (line ~ /^drives: asleep [a-z]+: counters / && !left_alone[marked]) left_alone[marked] = 1
    if (line ~ /^I\/O error, dev [a-z]+, /) {
        io_errors[role_of[substr(word[4], 1, length(word[4]) - 1)]]++
    }
    if (line !~ /^(sd|scsi) [0-9]+:[0-9]+:[0-9]+:[0-9]+: scsi_debug: tag=[^,]*, cmd /) next
    role = role_of_unit[substr(word[2], 1, length(word[2]) - 1)]
    daemon = kscene && role != rig
    turs = word[6] word[7] word[8] word[9] word[10] word[11] == "000000000000"
    if (daemon && turs) probes[kscene]++
    if (daemon && left_alone[role] == 1) {
        quiet_commands[role]++
        quiet_probes[role] += turs
    }
    if (word[6] != "1b") next
    # START STOP UNIT: byte 4 holds LOEJ (bit 1) and START (bit 0).
    if (word[10] == "00" && !probing[role])
        stopped_before_probe[role]++
    if (word[10] == "00") stops[role]++
    else starts[role]++
    commands_before_io[role] += daemon && !after_io
    stopped_again[role] += daemon && word[10] == "00" && woken_by_rig[3, role]
}

END {
    split("USB1 USB2 USB3 OTHER", roles, " ")
    printf "\n%-5s %-4s %-26s %-29s %s\n", "disk", "name", "the unit received",
        "daemon traced", "the rig saw"
    for (r = 1; r <= 4; r++) {
        role = roles[r]
        d = name[role]
        saw = sense["probe", d] != "" ? "sense " sense["probe", d] : ""
        if (("probe", d) in ready) saw = "TEST UNIT READY " (ready["probe", d] ? "good" : "not ready")
        if (d in read_result) saw = saw (saw != "" ? "; " : "") "read " read_result[d]
        printf "%-5s %-4s %-26s %-29s %s\n", role, d,
            sprintf("STOP x%d, START x%d", stops[role], starts[role]),
            sprintf("SPINDOWN! x%d, SKIPPED x%d", traced[role], skipped[role]), saw
    }
    # The status file's copies before and after the rig's reads and writes.
    for (r = 1; r <= 2; r++) {
        role = roles[r]
        for (c = 1; c <= copies; c++) {
            if (copied_at[c] < io && state[c, role] == "spun-down") down_before[role] = 1
            if (copied_at[c] > io && copy_scene[c] != 3 && state[c, role] == "active") active_after[role] = 1
            if (copy_scene[c] == 3) last_w = c
        }
    }
    print "\nchecks:"
    check(start && stop && !early, "the scenarios ran to their end")
    real_stop = nothing_lost = once = 1
    for (r = 1; r <= 2; r++) {
        role = roles[r]
        d = name[role]
        real_stop = real_stop && stopped_before_probe[role] >= 1 && stopped_sense(sense["probe", d]) &&
            samples["probe", d] == 2 && counters["probe", d, 1] == counters["probe", d, 2]
        nothing_lost = nothing_lost && read_result[d] == "ok" && written[d] && !io_errors[role] &&
            down_before[role] && active_after[role] && after_downs[d] == "1"
        once = once && commands_before_io[role] == 1
    }
    for (r = 1; r <= 4; r++)
        nothing_lost = nothing_lost && at_boot[name[roles[r]]] == "0"
    check(real_stop, "a real stop: USB1 and USB2 received START STOP UNIT START=0, then the rig's " \
        "REQUEST SENSE said NOT READY 04/02 and moved no counter")
    check(nothing_lost, "nothing lost: with allow_restart 0 at boot, USB1 and USB2 were read and " \
        "written after their spin-down, no I/O error, status spun-down then active, allow_restart 1")
    other = name["OTHER"]
    check(at_boot[other] == "0" && stops["OTHER"] >= 1 && read_result[other] ~ /^failed/ &&
          io_errors["OTHER"] >= 1,
          "the rig can see the fault: OTHER, stopped by the rig with allow_restart 0, failed its read " \
          "and the kernel logged the I/O error")
    usb3 = name["USB3"]
    check(locked[usb3] && skipped["USB3"] >= 1 && ready["probe", usb3] && !stops["USB3"],
          "a mend that cannot be made: USB3, its allow_restart read-only, received no stop, answers " \
          "TEST UNIT READY, and the daemon traced why")
    check(once && idle_cycles >= 2, "once: USB1 and USB2 received one START STOP UNIT each from the daemon through " \
        idle_cycles " daemon minutes of idling after their spin-down (at least 2)")
    usb1 = name["USB1"]
    usb2 = name["USB2"]
    check(woken_by_rig[2, "USB2"] && ready["awake", usb2] && probes[2] == 0 &&
          ready_cycle["awake", usb2] - wake_cycle[2] >= 2,
          "no probe without -w: USB2, started by the rig, answered its TEST UNIT READY " \
          ready_cycle["awake", usb2] - wake_cycle[2] " daemon minutes later (at least 2); the daemon " \
          "sent no TEST UNIT READY")
    check(stopped_again["USB2"] >= 1 && ("USB2" in woken_after) && woken_after["USB2"] <= 1 &&
          stopped_sense(sense["slept", usb2]) && wakes[last_w, "USB2"] == "1" &&
          spin_downs[last_w, "USB2"] == "2",
          "woken (-w): USB2, started by the rig, received the daemon's START STOP UNIT START=0 " \
          "within one daemon minute, then the rig's REQUEST SENSE said 04/02; status: wakes " \
          wakes[last_w, "USB2"] ", spin-downs " spin_downs[last_w, "USB2"] " (1 and 2)")
    samples_equal = samples["asleep", usb1] == 3
    for (n = 2; n <= 3; n++)
        samples_equal = samples_equal && counters["asleep", usb1, n] == counters["asleep", usb1, 1]
    check(left_alone["USB1"] == 2 && quiet_probes["USB1"] >= 3 &&
          quiet_commands["USB1"] == quiet_probes["USB1"] && stopped_sense(sense["asleep", usb1]) &&
          samples_equal,
          "asleep (-w): USB1 received only TEST UNIT READY from the daemon, " quiet_probes["USB1"] + 0 \
          " of them (at least 3), then the rig's REQUEST SENSE said 04/02; its counters did not move")
    printf "%d checks, %d failed\n", checks, failed
    exit failed > 0
}
