#!/bin/bash
# Measures what torpord costs per cycle, and hd-idle (Debian's package, run
# as a black box) per poll, side by side: instructions (callgrind, one dump
# per cycle or poll), system calls (strace), heap allocations (calls into the
# allocator, from the same callgrind dumps), resident, proportional and
# unique memory (medians of five starts), torpord's growth over 10,000
# cycles, and the stripped size of each program.
#
# The programs run in a throw-away sandbox: their own mount and pid
# namespaces, a /dev without disks, stand-ins for /sbin/hdparm and
# /usr/local/bin/sg_start, and a fixed 64-line /proc/diskstats bound over the
# kernel's (left real for the runs that measure the real one). The sleep
# shim torpor-fastclock.so (tests/support), in its benchmark mode, makes a
# second of sleep take BENCH_SLEEP_MS milliseconds with the same system call,
# and ends a run after a known number of sleeps.
#
# Usage (as root): bench/daemon_bench.sh BUILD_DIR OUT_DIR
# Writes OUT_DIR/daemon.md (the figures) and OUT_DIR/raw/ (the tools' output).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cycles=14     # cycles (polls) per run; cycles 4..13 are the ten that are counted
clean_env=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin)
hdidle_path=/usr/sbin/hd-idle

if [ -z "${TORPOR_BENCH_INSIDE:-}" ]; then
    if [ $# -ne 2 ]; then
        echo "usage: $0 BUILD_DIR OUT_DIR" >&2
        exit 2
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "daemon_bench: needs root for its mount and pid namespaces" >&2
        exit 1
    fi
    build=$(cd "$1" && pwd)
    mkdir -p "$2"
    out=$(cd "$2" && pwd)
    for file in "$build/torpord" "$build/tests/support/torpor-fastclock.so" "$hdidle_path"; do
        if [ ! -e "$file" ]; then
            echo "daemon_bench: $file is missing (make bench builds it)" >&2
            exit 1
        fi
    done
    for tool in valgrind callgrind_annotate strace strip unshare setarch; do
        command -v "$tool" >/dev/null || {
            echo "daemon_bench: $tool is missing (make bench installs it)" >&2
            exit 1
        }
    done
    rm -rf "$out/raw"
    mkdir -p "$out/raw"
    export TORPOR_BENCH_INSIDE=1 TORPOR_BENCH_BUILD=$build TORPOR_BENCH_OUT=$out
    exec "$here/../tools/rooted.sh" unshare --mount --pid --fork --kill-child --mount-proc \
        --propagation private "$0"
fi

# From here on we are the first process of the sandbox's pid namespace, so
# the daemons that detach become our children.
build=$TORPOR_BENCH_BUILD
box=/run/bench
bin=$box/bin
raw=$box/out/raw

mount -t tmpfs bench /run
# No real disk's allow_restart is set from here.
mount -t tmpfs bench /sys/block
mkdir -p "$bin" "$box/out"
# Copied before /tmp is covered, where a clone may live.
cp "$build/torpord" "$build/tests/support/torpor-fastclock.so" "$hdidle_path" \
    "$here/diskstats.txt" "$here/daemon_report.sh" "$bin/"
mount --bind "$TORPOR_BENCH_OUT" "$box/out"
mount -t tmpfs -o mode=1777 bench /tmp

# A /dev with only harmless devices: no disk is reachable.
mkdir "$box/hostdev"
mount --bind /dev "$box/hostdev"
mount -t tmpfs -o mode=755 bench /dev
for name in null zero full random urandom tty; do
    : >"/dev/$name"
    mount --bind "$box/hostdev/$name" "/dev/$name"
done
ln -s /proc/self/fd /dev/fd
umount -l "$box/hostdev"

# The spin-down tools: a stand-in that only records its arguments.
# shellcheck disable=SC2016 # $0 and $* are the stand-in's own
printf '#!/bin/sh\necho "run: $0 $*" >>%s/standin.log\n' "$box" >"$bin/standin"
chmod 755 "$bin/standin"
# Each tool's directory (its real one: /sbin may be a link) gets an overlay
# whose upper layer lives in the sandbox, so the stand-in's file is ours.
overlaid=" "
for tool in /sbin/hdparm /usr/local/bin/sg_start; do
    dir=$(readlink -f "$(dirname "$tool")")
    if [[ "$overlaid" != *" $dir "* ]]; then
        overlaid+="$dir "
        layer=$box/overlay${dir//\//-}
        mkdir -p "$layer/upper" "$layer/work"
        mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
    fi
    : >"$dir/$(basename "$tool")"
    mount --bind "$bin/standin" "$dir/$(basename "$tool")"
done

cp "$bin/diskstats.txt" "$box/diskstats"
# The same working directory wherever the clone lies: under valgrind the
# directory moves the stack, and with it what memset costs a cycle.
cd /

# Six watched disks; 6000 s (100 cycles) keeps every run short of a
# spin-down, unless seconds says more.
write_conf() {
    local i=0 name marker
    : >/tmp/spindownd.conf
    for name in "$@"; do
        marker="USB$i:"
        [ "$i" -eq 0 ] && [ -n "${first_ide:-}" ] && marker="IDE:"
        printf '%s\tusbp%d\t/dev/%s\t/dev/sg%d\t%d\n' "$marker" "$i" "$name" "$i" \
            "${seconds:-6000}" >>/tmp/spindownd.conf
        i=$((i + 1))
    done
}

# The processes of a run: every process of the sandbox but ourselves, the
# subshell that looks, and the feeder's process group, as "comm(pid) ...". A
# daemon's first child counts too, before and after it leaves our session.
feeder_group=none
others() {
    local p stat
    for p in /proc/[0-9]*; do
        read -r -a stat 2>/dev/null <"$p/stat" || continue
        [ "${stat[0]}" = 1 ] || [ "${stat[0]}" = "$BASHPID" ] || [ "${stat[4]}" = "$feeder_group" ] ||
            printf '%s%s ' "${stat[1]}" "${stat[0]}"
    done
    return 0
}

wait_alone() {
    local deadline=$((SECONDS + $1)) left
    while left=$(others) && [ -n "$left" ]; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "daemon_bench: still running after $1 s: $left" >&2
            exit 1
        fi
        sleep 0.1
    done
}

pid_of() {
    local p c
    for p in /proc/[0-9]*; do
        read -r c 2>/dev/null <"$p/comm" || continue
        [ "$c" = "$1" ] && echo "${p#/proc/}" && return 0
    done
    return 1
}

torpord=("$bin/torpord")
# One watched disk that never shows, 10 s idle: hd-idle then polls once a
# second (a tenth of the shortest idle time) and spins nothing down.
# shellcheck disable=SC2034 # read through program()
hd_idle=("$bin/hd-idle" -i 0 -a sdzz -i 10)

# The sleeps a run of $1 takes: 60 a torpord cycle, one an hd-idle poll, and
# some more (half a cycle, one poll), so that the last counted one is whole.
run_sleeps() {
    if [[ $1 == torpord* ]]; then echo $((60 * cycles + 30)); else echo $((cycles + 1)); fi
}

# The command of program $1.
program() {
    local -n words=${1//-/_}
    printf '%s\n' "${words[@]}"
}

# Runs a program that detaches, with the shim, until it has slept $2 times.
run_shimmed() {
    local sleep_ms=$1 sleeps=$2 log=$3
    shift 3
    "${clean_env[@]}" LD_PRELOAD="$bin/torpor-fastclock.so" BENCH_SLEEP_MS="$sleep_ms" \
        BENCH_SLEEPS="$sleeps" "$@" >"$log" 2>&1
    wait_alone 600
}

# callgrind, one dump per cycle: after torpord's spinDownUsbHdd, after each
# of hd-idle's sleeps (hd-idle is stripped; it sleeps once a poll).
callgrind_run() {
    local name=$1 sleep_ms=$2 prog=$3 dump=sleep
    local -a command
    mapfile -t command < <(program "$prog")
    [[ $prog == torpord* ]] && dump='spinDownUsbHdd*'
    run_shimmed "$sleep_ms" "$(run_sleeps "$prog")" "$raw/$name-$prog.out" \
        valgrind --tool=callgrind --log-file="$raw/$name-$prog.vg.%p" \
        --dump-after="$dump" --callgrind-out-file="$raw/$name-$prog.cg.%p" "${command[@]}"
}

strace_run() {
    local name=$1 prog=$2
    local -a command
    mapfile -t command < <(program "$prog")
    run_shimmed 10 "$(run_sleeps "$prog")" "$raw/$name-$prog.out" \
        strace -f -qq -o "$raw/$name-$prog.strace" "${command[@]}"
}

# Whether a process of the sandbox has /proc/diskstats open.
diskstats_open() {
    local fd
    for fd in /proc/[0-9]*/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = /proc/diskstats ] && return 0
    done
    return 1
}

# Waits until the reader of the last version served has closed the FIFO.
wait_diskstats_closed() {
    local deadline=$((SECONDS + 600))
    while diskstats_open; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "daemon_bench: /proc/diskstats still open after 600 s" >&2
            exit 1
        fi
        sleep 0.01
    done
}

# Memory in real time, once the first pass is over: the program's first
# sample is served through the FIFO, and the pass has ended when it has
# closed it and sleeps again. Read as memory-PROGRAM.RUN.status and
# .smaps_rollup: where the C library lands (address randomisation) moves the
# resident figures by up to ~100 kB between starts, so each program is
# started memory_starts times and the report takes the medians. One more
# start under setarch -R (no randomisation) leaves its whole smaps, to see
# where each kilobyte lies.
memory_starts=5
memory_of() {
    local prog=$1 run=$2 pid wchan=""
    local -a command
    mapfile -t command < <(program "$prog")
    [ "$run" = norandom ] && command=(setarch -R "${command[@]}")
    "${clean_env[@]}" "${command[@]}" >"$raw/memory-$prog.out" 2>&1
    cat "$box/diskstats" >"$box/diskstats.fifo"
    pid=$(pid_of "$prog")
    wait_diskstats_closed
    while [[ "$wchan" != *nanosleep* ]]; do
        read -r wchan <"/proc/$pid/wchan" || true
        [[ "$wchan" == *nanosleep* ]] || sleep 0.01
    done
    if [ "$run" = norandom ]; then
        cat "/proc/$pid/smaps" >"$raw/memory-$prog.smaps"
    else
        cat "/proc/$pid/status" >"$raw/memory-$prog.$run.status"
        cat "/proc/$pid/smaps_rollup" >"$raw/memory-$prog.$run.smaps_rollup"
    fi
    kill -TERM "$pid"
    wait_alone 30
}

# The pid of the process named $1 once it is stopped (state T).
wait_stopped() {
    local deadline=$((SECONDS + 120)) p stat
    while [ "$SECONDS" -lt "$deadline" ]; do
        for p in /proc/[0-9]*; do
            read -r -a stat 2>/dev/null <"$p/stat" || continue
            if [ "${stat[1]}" = "($1)" ] && [ "${stat[2]}" = T ]; then
                echo "${p#/proc/}"
                return 0
            fi
        done
        sleep 0.1
    done
    echo "daemon_bench: no stopped $1 after 120 s" >&2
    exit 1
}

# VmRSS growth: one run with instant sleeps that stops itself before sleep
# 120 (about two cycles in) and before sleep 600,120 (10,000 cycles later),
# its status read at each stop. The disks' threshold is beyond the run.
growth_of_torpord() {
    local pid stat
    "${clean_env[@]}" LD_PRELOAD="$bin/torpor-fastclock.so" BENCH_SLEEP_MS=0 \
        BENCH_STOPS="$((60 * 2)) $((60 * 10002))" "${torpord[@]}" >"$raw/growth-torpord.out" 2>&1
    pid=$(wait_stopped torpord)
    cat "/proc/$pid/status" >"$raw/growth-torpord.first.status"
    kill -CONT "$pid"
    while read -r -a stat 2>/dev/null <"/proc/$pid/stat" && [ "${stat[2]}" = T ]; do
        sleep 0.1
    done
    pid=$(wait_stopped torpord)
    cat "/proc/$pid/status" >"$raw/growth-torpord.last.status"
    kill -TERM "$pid"
    kill -CONT "$pid"
    wait_alone 30
}

echo "daemon_bench: fixed /proc/diskstats (64 lines), six watched disks"
mkfifo "$box/diskstats.fifo"
mount --bind "$box/diskstats.fifo" /proc/diskstats
first_ide=1 write_conf sda sdd sdg sdj sdm sdp
cp /tmp/spindownd.conf "$raw/spindownd-fixed.conf"
# Start by start, one program after the other: Pss follows the machine's
# other processes, so both are read under the same conditions.
for run in $(seq "$memory_starts") norandom; do
    for prog in torpord hd-idle; do
        memory_of "$prog" "$run"
    done
done
umount /proc/diskstats
mount --bind "$box/diskstats" /proc/diskstats
seconds=6000000 first_ide=1 write_conf sda sdd sdg sdj sdm sdp
growth_of_torpord
first_ide=1 write_conf sda sdd sdg sdj sdm sdp
for prog in torpord hd-idle; do
    callgrind_run idle 10 "$prog"
    strace_run fixed "$prog"
done

echo "daemon_bench: torpord -w, each disk it stopped asked whether it still is"
# Six USB disks, a minute's spin-down time: each is stopped in the second
# cycle and asked in the third. Their sg nodes are /dev/null, which takes the
# open, the SG_IO request and the close that a disk takes and answers ENOTTY,
# so each is asked once. The same run without -w is the third cycle's
# baseline.
for i in 0 1 2 3 4 5; do
    : >"/dev/sg$i"
    mount --bind /dev/null "/dev/sg$i"
done
seconds=60 first_ide="" write_conf sda sdd sdg sdj sdm sdp
# shellcheck disable=SC2034 # read through program()
torpord_w=("$bin/torpord" -w)
callgrind_run probe 10 torpord
callgrind_run probe 10 torpord-w
strace_run probe torpord-w

echo "daemon_bench: the machine's real /proc/diskstats"
umount /proc/diskstats
cp /proc/diskstats "$raw/diskstats-real.txt"
mapfile -t real_names < <(awk '{ print $3 }' /proc/diskstats | head -6)
first_ide="" write_conf "${real_names[@]}"
cp /tmp/spindownd.conf "$raw/spindownd-real.conf"
for prog in torpord hd-idle; do
    callgrind_run real 10 "$prog"
    strace_run real "$prog"
done

echo "daemon_bench: all counters changing at every pass"
# A FIFO over /proc/diskstats: every open of it reads a new version of the
# fixed file, reads and writes of every line grown by the version number.
# The feeder waits until each version's reader has closed it, so that a
# pass reads one only.
mount --bind "$box/diskstats.fifo" /proc/diskstats
first_ide=1 write_conf sda sdd sdg sdj sdm sdp
feed() {
    local version=0
    while :; do
        version=$((version + 1))
        awk -v n="$version" '{
            printf "%4d %7d %s", $1, $2, $3
            for (i = 4; i <= NF; i++) printf " %s", (i == 4 || i == 8) ? $i + n : $i
            printf "\n" }' "$box/diskstats" >"$box/diskstats.next"
        cat "$box/diskstats.next" >"$box/diskstats.fifo"
        wait_diskstats_closed
    done
}
for prog in torpord hd-idle; do
    # A process group of its own, which the wait for a run leaves out.
    set -m
    feed &
    feeder_group=$!
    set +m
    # 60 sleeps of 20 ms, 1.2 s a cycle.
    callgrind_run active 20 "$prog"
    kill -- -"$feeder_group" 2>/dev/null || true
    wait "$feeder_group" 2>/dev/null || true
    feeder_group=none
done
umount /proc/diskstats

cp "$box/standin.log" "$raw/standin.log"
for prog in torpord hd-idle; do
    readelf -d "$bin/$prog" | awk '/NEEDED/ { printf "%s ", $NF }' >"$raw/needed-$prog"
    strip -o "$box/$prog.stripped" "$bin/$prog"
    stat -c %s "$box/$prog.stripped" >"$raw/size-$prog"
    size "$box/$prog.stripped" | awk 'NR == 2 { print $1, $2, $3 }' >"$raw/segments-$prog"
done
"$bin/hd-idle" -h 2>&1 | head -1 >"$raw/usage-hd-idle" || true
dpkg-query -W -f='${Version}' hd-idle >"$raw/version-hd-idle" 2>/dev/null || echo unknown >"$raw/version-hd-idle"

"$bin/daemon_report.sh" "$box/out" >"$box/out/daemon.md"
echo "daemon_bench: figures in $TORPOR_BENCH_OUT/daemon.md"
