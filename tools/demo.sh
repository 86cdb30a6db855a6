#!/bin/bash
# Shows torpord at work: the real binary runs in a throw-away sandbox (its
# own mount and pid namespaces) against two simulated disks, an internal one
# (hda) and a USB one (sda), with the stand-in tools and fan driver, and
# with the daemon's waiting thirty times faster, so one daemon minute takes
# two seconds (the tools keep their real seconds). The console trace is
# shown live; a timeline and the status file follow at the end. Each
# minute's /proc/diskstats is handed to the daemon when it asks for it, so
# the story is the same however busy the machine is.
# Nothing outside the sandbox is touched, and everything in it ends with it.
# Usage (as root): tools/demo.sh [BUILD_DIR]
set -euo pipefail

rate=30
minute_seconds=2

if [ -z "${TORPOR_DEMO_INSIDE:-}" ]; then
    build=$(cd "${1:-build}" && pwd)
    if [ "$(id -u)" -ne 0 ]; then
        echo "demo: needs root for its mount and pid namespaces" >&2
        exit 1
    fi
    for program in torpord tests/support/torpor-standin tests/support/torpor-leddrv \
        tests/support/torpor-fastclock.so; do
        if [ ! -x "$build/$program" ]; then
            echo "demo: $build/$program is missing (make demo builds it)" >&2
            exit 1
        fi
    done
    # Opened now, so the programs stay reachable once the sandbox covers /tmp.
    exec 6<"$build/tests/support/torpor-fastclock.so" 7<"$build/torpord" \
        8<"$build/tests/support/torpor-standin" 9<"$build/tests/support/torpor-leddrv"
    TORPOR_DEMO_INSIDE=1 exec "$(dirname "$0")/rooted.sh" unshare --mount --pid --fork \
        --kill-child --mount-proc --propagation private "$0" "$@"
fi

# From here on we are the first process of the sandbox's pid namespace.

microseconds() {
    local now=$EPOCHREALTIME
    echo "${now/[.,]/}"
}
start=$(microseconds)
sampled=""   # set once the daemon has taken its first sample, in minute 0
minute=0     # the daemon's minutes since it started
extra=""     # set when SIGHUP is sent: the daemon's next sample follows at once
timeline=()
fan=""

elapsed() {
    local tenths=$((($(microseconds) - start) / 100000))
    printf '%3d.%ds' $((tenths / 10)) $((tenths % 10))
}

event() {
    timeline+=("$(elapsed)  minute $(printf '%2d' "$minute")  $*")
}

finish() {
    echo
    echo "Timeline (real time, and the daemon's minutes since it started; one minute = ${minute_seconds} s):"
    printf '  %s\n' "${timeline[@]}"
    [ -r /var/run/torpord.status ] || return 0
    echo "The status file /var/run/torpord.status as the daemon left it, its tabs as columns"
    echo "(since: seconds since the Epoch; seconds-down: real seconds):"
    awk -F'\t' '{ for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) }
            if (NF > n) n = NF }
        END { for (r = 1; r <= NR; r++) { line = " "; for (i = 1; i < n; i++) line = line sprintf(" %-" w[i] "s", cell[r, i])
            print line " " cell[r, n] } }' /var/run/torpord.status
    echo "The sandbox ends now, and with it every process and mount of the demo."
}
trap finish EXIT
trap 'event "interrupted"; exit 130' INT TERM

# Private /run, /sys/block (no real disk's allow_restart is set) and /tmp;
# the programs are copied in first.
mount -t tmpfs demo /run
mount -t tmpfs demo /sys/block
mkdir -p /run/demo/bin
cp /proc/self/fd/6 /run/demo/bin/torpor-fastclock.so
cp /proc/self/fd/7 /run/demo/bin/torpord
cp /proc/self/fd/8 /run/demo/bin/torpor-standin
cp /proc/self/fd/9 /run/demo/bin/torpor-leddrv
exec 6<&- 7<&- 8<&- 9<&-
chmod 755 /run/demo/bin/*
mount -t tmpfs -o mode=1777 demo /tmp
mkdir /tmp/standin

# /sbin/hdparm and /usr/local/bin/sg_start: the recording stand-in, placed
# through overlays whose upper layers live in the sandbox.
for dir in /usr/sbin /usr/local/bin; do
    layer=/run/demo/overlay${dir//\//-}
    mkdir -p "$layer/upper" "$layer/work"
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
done
for tool in /sbin/hdparm /usr/local/bin/sg_start; do
    : >"$tool"
    mount --bind /run/demo/bin/torpor-standin "$tool"
done

# A /dev without disks: only harmless devices, the console a FIFO we read.
mkdir /run/demo/hostdev
mount --bind /dev /run/demo/hostdev
mount -t tmpfs -o mode=755 demo /dev
for name in null zero full random urandom tty fuse; do
    : >"/dev/$name"
    mount --bind "/run/demo/hostdev/$name" "/dev/$name"
done
ln -s /proc/self/fd /dev/fd
umount -l /run/demo/hostdev
mkfifo /dev/console
exec 3<>/dev/console
# The stand-ins' events go to the console too, in order with the trace.
ln -s /dev/console /tmp/standin/log

# The fan driver.
: >/dev/leddrv
/run/demo/bin/torpor-leddrv /dev/leddrv >/dev/null &
for _ in $(seq 1500); do
    [ "$(stat -c %d /dev/leddrv)" != "$(stat -c %d /dev)" ] && break
    sleep 0.02
done

# The simulated disks' counters: hda reads and writes, sda reads and writes.
# /proc/diskstats is a FIFO: each sample of the daemon waits until the demo
# hands it the counters of that minute.
hda_r=100 hda_w=50 sda_r=7000 sda_w=3000
mkfifo /run/demo/diskstats
mount --bind /run/demo/diskstats /proc/diskstats
serve_diskstats() {
    {
        printf '   3       0 hda %d 0 %d 100 %d 0 %d 200 0 300 400 0 0 0 0\n' \
            "$hda_r" $((hda_r * 8)) "$hda_w" $((hda_w * 8))
        printf '   8       0 sda %d 0 %d 100 %d 0 %d 200 0 300 400 0 0 0 0\n' \
            "$sda_r" $((sda_r * 8)) "$sda_w" $((sda_w * 8))
    } >/run/demo/diskstats
}

write_conf() {
    printf 'IDE:\thda\t/dev/hda\t/dev/sg0\t%d\nUSB1:\tusbp1\t/dev/sda\t/dev/sg1\t%d\n' "$1" "$1" \
        >/tmp/spindownd.conf
}
write_conf 180

cat <<EOF
torpord demo: internal disk hda and USB disk sda, spin-down after 3 idle
minutes; one daemon minute takes ${minute_seconds} s here. Console trace (torpord:...) and the
stand-ins' events (run: ... for a tool, fan: 1/0 for the fan), live, with
notes after "<-":

EOF

env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin VARNOK_DEBUG_MODE=on \
    LD_PRELOAD=/run/demo/bin/torpor-fastclock.so TORPOR_FAST_CLOCK=$rate /run/demo/bin/torpord
daemon=""

# What the simulated world does in each daemon minute, before the daemon
# samples it: the internal disk is busy in minutes 1, 2 and 7; the
# configuration is rewritten in minute 7, so the reload and an extra sample
# follow that minute's sample at once; the sample of minute 9 is never
# served: the daemon is stopped while it waits for it.
sample() {
    case "$1" in
    1 | 2 | 7)
        hda_r=$((hda_r + 40))
        hda_w=$((hda_w + 9))
        ;;
    esac
    case "$1" in
    7)
        write_conf 120
        kill -HUP "$daemon"
        extra=1
        event "configuration rewritten (120 s, so 2 minutes) and SIGHUP sent" ;;
    9)
        stopping=1
        kill -TERM "$daemon"
        event "SIGTERM sent"
        return ;;
    esac
    serve_diskstats
}

# Notes on lines that puzzle a first reader; the trace itself is as the
# daemon writes it.
note() {
    printf '%s  %-30s  <- %s\n' "$(elapsed)" "$1" "$2"
}

stopping=""
previous=""
while IFS= read -r -t 60 -u 3 line; do
    case "$line" in
    "")
        case "$previous" in
        torpord:[0-9]:\ ide=*) empty="the fifth field above keeps its line's newline" ;;
        *) empty="the message above ends in a newline of its own" ;;
        esac
        printf '%s  (empty line: %s)\n' "$(elapsed)" "$empty" ;;
    torpord:Now\ SpinDownTime=*) note "$line" "minutes before this load" ;;
    torpord:Change\ SpinDownTime=*) note "$line" "minutes this load sets" ;;
    torpord:checkUsbHddIO) if [ -n "$extra" ]; then
        note "$line" "extra sample: SIGHUP cut the wait"
    else
        printf '%s  %s\n' "$(elapsed)" "$line"
    fi ;;
    *) printf '%s  %s\n' "$(elapsed)" "$line" ;;
    esac
    previous=$line
    case "$line" in
    "torpord:start daemon open driver") event "daemon started" ;;
    "run: /sbin/hdparm -S0 /dev/hda")
        # Written before the tool starts.
        daemon=$(cat /var/run/torpord.pid)
        event "pid file /var/run/torpord.pid names $daemon"
        event "internal disk's own standby timer off: $line" ;;
    torpord:Change\ SpinDownTime=*)
        event "configuration loaded, SpinDownTime=${line##*=} minutes; idle counts start at 0" ;;
    "torpord:checkUsbHddIO")
        if [ -n "$extra" ]; then
            extra=""
            event "extra sample, the reload's: SIGHUP cut the minute's wait short"
            serve_diskstats
        else
            if [ -n "$sampled" ]; then
                minute=$((minute + 1))
            fi
            sampled=1
            sample "$minute"
        fi ;;
    "run: /usr/local/bin/sg_start"*) event "USB disk sda spun down: $line" ;;
    "torpord:IDE+FAN SPINDOWN!") event "internal disk idle for SpinDownTime: traced $line" ;;
    "run: /sbin/hdparm -y"*) event "internal disk hda spun down: $line" ;;
    "fan: 0" | "fan: 1")
        if [ "$fan" != "$line" ] && [ "$line" = "fan: 0" ]; then
            event "fan off (before the internal disk's spin-down)"
        elif [ "$fan" != "$line" ]; then
            event "fan on (internal disk active)"
        fi
        fan=$line ;;
    "torpord:SIGTERM close fileds.")
        event "daemon ended on SIGTERM"
        break ;;
    esac
done
if [ -z "$stopping" ]; then
    event "the daemon's console fell silent; stopping"
    exit 1
fi
for _ in $(seq 100); do
    [ -d "/proc/$daemon" ] || break
    sleep 0.02
done
