# shellcheck shell=sh
# Shell functions of the emulated appliance's init and scenarios (busybox sh).

# A line on the console, among the daemon's trace; the host reads it there.
say() {
    echo "appliance: $*" > /dev/console
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
