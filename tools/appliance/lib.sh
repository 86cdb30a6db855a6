# shellcheck shell=sh
# Shell functions of the emulated machines' inits and scenarios (busybox sh):
# the appliance's (init, scenario.sh) and the drive-model machine's (drives-init).

# The file systems of a running system, and the kernel modules of
# /etc/modules ("PATH [PARAMETER...]" a line) loaded in their order.
start_system() {
    export PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
    mount -t proc proc /proc
    mount -t sysfs sysfs /sys
    mount -t devtmpfs devtmpfs /dev
    mount -t tmpfs tmpfs /tmp
    mount -t tmpfs tmpfs /run
    mkdir /run/lock
    say "booted: $(uname -r), $(busybox | head -1)"
    while read -r module params; do
        # shellcheck disable=SC2086 # $params: a word per parameter
        insmod "/$module" $params 2>/dev/null || say "module not loaded: ${module##*/}"
    done < /etc/modules
}

# Mounts the host's 9p share TAG at DIR with OPTIONS.
share() {
    mount -t 9p -o "trans=virtio,version=9p2000.L,msize=262144,$3" "$1" "$2"
}

# Whether N disks are there, each with its name in /proc/diskstats and its sg node.
disks_ready() {
    set -- "$1" /sys/block/sd*/device/scsi_generic/sg*
    [ $# -eq $(($1 + 1)) ] && [ -e "$2" ]
}

# A line on the console, among the daemon's trace; the host reads it there.
say() {
    echo "${RIG:-appliance}: $*" > /dev/console
}

# Runs the command every fifth of a second until it succeeds, for at most
# SECONDS; says what it waited for when it gives up.
bounded() {
    limit=$1 what=$2
    shift 2
    end=$(($(date +%s) + limit))
    until "$@"; do
        if [ "$(date +%s)" -ge "$end" ]; then
            say "timed out after $limit s waiting for $what"
            return 1
        fi
        sleep 0.2
    done
}

# A restart, not a power-off: on a power-off the kernel's disk driver would
# send the internal disk a standby command of its own.
end_now() {
    say "$1"
    sync
    reboot -f
}

# /tmp/spindownd.conf for the disks of /etc/disks, SpinDownTime SECONDS:
# the internal disk first; the last USB disk's label holds $, `, " and \.
write_conf() {
    tab=$(printf '\t')
    while read -r role name sg _; do
        label=usbp${role#USB}
        [ "$role" = IDE ] && label=hda
        # shellcheck disable=SC2016 # the label holds them as given
        [ "$role" = USB2 ] && label='usbp2 $HOME `id` "q" \c\n\\ end'
        printf '%s:%s%s%s/dev/%s%s/dev/%s%s%s\n' "$role" "$tab" "$label" "$tab" "$name" \
            "$tab" "$sg" "$tab" "$1"
    done < /etc/disks > /tmp/spindownd.conf
    cp /tmp/spindownd.conf /out/spindownd.conf
}

console=/out/console.log

# How many console lines so far hold the text.
seen() {
    grep -cF -- "$1" "$console"
}

at_least() {
    [ "$(seen "$2")" -ge "$1" ]
}

# Waits until the text has shown N times on the console.
await() {
    bounded "$PATIENCE" "$1 x '$2' on the console" at_least "$1" "$2"
}

# Waits until the daemon's next cycle begins: the commands of this one are done.
next_cycle() {
    await $(($(seen torpord:checkUsbHddIO) + 1)) torpord:checkUsbHddIO
}

# Copies the status file to the console, each line marked, once it differs
# from the copy shown last (the daemon replaces it only when it changes)
# and, given a device and a state, shows that device in that state.
status_new() {
    cp /var/run/torpord.status /tmp/status.new && ! cmp -s /tmp/status.new /tmp/status.shown &&
        { [ $# -eq 0 ] || grep -qF "$(printf '\t%s\t%s\t' "$1" "$2")" /tmp/status.new; }
}
show_status() {
    bounded "$PATIENCE" "a change of the status file${1:+ showing $1 $2}" status_new "$@" || return 1
    mv /tmp/status.new /tmp/status.shown
    while IFS= read -r line; do
        printf 'torpord.status: %s\n' "$line" > /dev/console
    done < /tmp/status.shown
}
