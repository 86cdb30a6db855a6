#!/bin/bash
# Turns the raw output of daemon_bench.sh into the tables of daemon.md:
# torpord and hd-idle side by side, then torpord's own goals.
# Usage: bench/daemon_report.sh OUT_DIR
set -euo pipefail

raw=$1/raw
# The first cycle holds the start-up. The status file is written at the end
# of the first cycle (every disk active) and of the second (every disk now
# idle), and a callgrind dump, made after spinDownUsbHdd, holds the end of
# the cycle before: the fourth is the first dump of a cycle that changes
# nothing. hd-idle's dumps, one after each sleep, are counted alike.
counted_from=4
counted_to=13

# The pid whose callgrind dumps are most numerous: the detached daemon.
cg_prefix() {
    local pid
    pid=$(for f in "$raw/$1".cg.*.*; do
        f=${f#"$raw/$1".cg.}
        echo "${f%%.*}"
    done | sort | uniq -c | sort -rn | awk 'NR == 1 { print $2 }')
    echo "$raw/$1.cg.$pid"
}

instructions() {
    awk '/^summary:/ { print $2 }' "$1"
}

# Calls into the allocator recorded in one dump (callgrind compresses names:
# "cfn=(7) malloc" once, "cfn=(7)" after).
allocations() {
    awk '
    /^c?fn=\(/ {
        id = substr($0, index($0, "(") + 1)
        id = substr(id, 1, index(id, ")") - 1)
        rest = substr($0, index($0, ")") + 2)
        if (rest != "")
            name[id] = rest
        if ($0 ~ /^cfn=/)
            callee = name[id]
        next
    }
    /^calls=/ {
        n = substr($1, 7)
        f = callee
        sub(/[@'"'"'].*/, "", f)
        if (f ~ /^(malloc|calloc|realloc|memalign|posix_memalign|aligned_alloc|valloc|pvalloc)$/)
            total += n
    }
    END { print total + 0 }' "$1"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END {
        if (NR == 0) print "n/a"
        else if (NR % 2) print v[(NR + 1) / 2]
        else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# cg_figure RUN-PROGRAM KIND: the median over the counted cycles of instructions or
# allocations, and the range.
cg_figure() {
    local prefix part values
    prefix=$(cg_prefix "$1")
    values=$(for part in $(seq "$counted_from" "$counted_to"); do
        [ -e "$prefix.$part" ] || { echo "missing $prefix.$part" >&2; exit 1; }
        "$2" "$prefix.$part"
    done)
    echo "$(median <<<"$values") $(sort -n <<<"$values" | head -1) $(sort -n <<<"$values" | tail -1)"
}

# The system calls of the complete idle cycles of a strace log: from the
# third open of /proc/diskstats (the first two cycles write the status file)
# to the last, that one excluded. Prints the number of cycles, then
# "name count" for each call, over all those cycles.
strace_tally() {
    awk '
    function call(line) {
        sub(/^[0-9]+ +/, "", line)
        if (line ~ /^(<\.\.\.|\+\+\+|---)/)
            return ""
        return substr(line, 1, index(line, "(") - 1)
    }
    function boundary(line, name) {
        return (name == "open" || name == "openat") && index(line, "\"/proc/diskstats\"") > 0
    }
    NR == FNR { if (boundary($0, call($0))) last++; next }
    {
        name = call($0)
        if (name == "")
            next
        if (boundary($0, name) && ++seen == last)
            exit
        if (seen >= 3)
            count[name]++
    }
    END {
        print last - 3
        for (name in count)
            print name, count[name]
    }' "$1" "$1"
}

# The reads of /proc/diskstats in the first idle cycle of a strace log: the
# size asked for and the size got, as "asked:got ...".
strace_reads() {
    awk '
    index($0, "\"/proc/diskstats\"") && ++seen == 2 { fd = $NF; next }
    fd != "" && index($0, "read(" fd ",") { n = split($0, w, " "); asked = w[n - 2]; sub(/\)$/, "", asked); printf "%s:%s ", asked, w[n] }
    fd != "" && index($0, "close(" fd ")") { exit }' "$1"
}

# per-cycle figures of a strace log: "others sleeps list"
strace_figure() {
    strace_tally "$1" | awk '
    NR == 1 { cycles = $1; next }
    { if ($1 ~ /nanosleep$/) sleeps += $2; else { others += $2; list = list sprintf(" %s %.2f,", $1, $2 / cycles) } }
    END { sub(/,$/, "", list); printf "%.2f %.2f %d%s\n", others / cycles, sleeps / cycles, cycles, list }'
}

kb() {
    awk -v key="$1:" '$1 == key { print $2 }' "$2"
}

# The median of a kB figure over the files given.
kb_median() {
    local key=$1 file
    shift
    for file in "$@"; do
        kb "$key" "$file"
    done | median
}

verdict() {
    if awk "BEGIN { exit !($1) }"; then echo met; else echo "NOT met"; fi
}

# "median (least-most)" of a kB figure over the files given.
kb_spread() {
    local key=$1 file values
    shift
    values=$(for file in "$@"; do kb "$key" "$file"; done)
    echo "$(median <<<"$values") ($(sort -n <<<"$values" | head -1)-$(sort -n <<<"$values" | tail -1))"
}

# Unique memory, kB: the private clean and dirty pages of each file given.
uss() {
    local file
    for file in "$@"; do
        awk '$1 == "Private_Clean:" || $1 == "Private_Dirty:" { n += $2 } END { print n }' "$file"
    done
}

# The sum of one key over the mappings of a whole smaps file.
smaps_sum() {
    awk -v key="$1:" '$1 == key { n += $2 } END { print n }' "$2"
}

# torpord's figure over hd-idle's: "1/x" where torpord's is the smaller.
ratio() {
    awk -v t="${1%% *}" -v h="${2%% *}" 'BEGIN {
        sub(/;$/, "", t); sub(/;$/, "", h)
        if (t == "" || h == "" || t + 0 == 0 || h + 0 == 0) print "-"
        else if (t + 0 < h + 0) printf "1/%.1f\n", h / t
        else printf "%.2f\n", t / h }'
}

declare -A fig
for prog in torpord hd-idle; do
    read -r med lo hi <<<"$(cg_figure "idle-$prog" instructions)"
    fig[$prog.idle]="$med ($lo-$hi)"
    read -r med lo hi <<<"$(cg_figure "active-$prog" instructions)"
    fig[$prog.active]="$med ($lo-$hi)"
    read -r med lo hi <<<"$(cg_figure "real-$prog" instructions)"
    fig[$prog.real]="$med ($lo-$hi)"
    read -r med _ hi <<<"$(cg_figure "idle-$prog" allocations)"
    fig[$prog.heap]="$med; $hi"
    read -r med _ _ <<<"$(cg_figure "active-$prog" allocations)"
    fig[$prog.heap_act]=$med
    read -r sys sleeps cycles list <<<"$(strace_figure "$raw/fixed-$prog.strace")"
    fig[$prog.sys]=$sys fig[$prog.sleeps]=$sleeps fig[$prog.cycles]=$cycles fig[$prog.list]=$list
    read -r sys _ cycles list <<<"$(strace_figure "$raw/real-$prog.strace")"
    fig[$prog.rsys]=$sys fig[$prog.rcycles]=$cycles fig[$prog.rlist]=$list
    status=("$raw/memory-$prog".[0-9]*.status)
    rollup=("$raw/memory-$prog".[0-9]*.smaps_rollup)
    fig[$prog.rss]=$(kb_spread VmRSS "${status[@]}")
    fig[$prog.anon]=$(kb_spread RssAnon "${status[@]}")
    fig[$prog.file]=$(kb_spread RssFile "${status[@]}")
    fig[$prog.pss]=$(kb_spread Pss "${rollup[@]}")
    values=$(uss "${rollup[@]}")
    fig[$prog.uss]="$(median <<<"$values") ($(sort -n <<<"$values" | head -1)-$(sort -n <<<"$values" | tail -1))"
    smaps=$raw/memory-$prog.smaps
    fig[$prog.fixed]="$(smaps_sum Rss "$smaps") / $(smaps_sum Pss "$smaps") / $(uss "$smaps")"
    fig[$prog.size]=$(cat "$raw/size-$prog")
    read -r text data bss <"$raw/segments-$prog"
    fig[$prog.segments]="$text / $data / $bss"
done

# torpord -w: the third cycle, in which six disks are asked, over the same
# cycle without -w; the system calls on the sg nodes' descriptors.
probe_with=$(instructions "$(cg_prefix probe-torpord-w).3")
probe_without=$(instructions "$(cg_prefix probe-torpord).3")
probe_calls=$(awk '
    /open(at)?\(.*"\/dev\/sg[0-9]"/ { n++; fd[$NF] = 1; calls++; next }
    match($0, /(ioctl|close)\([0-9]+/) {
        f = substr($0, RSTART, RLENGTH); sub(/.*\(/, "", f)
        if (f in fd) { calls++; if ($0 ~ /^[0-9]* *close/) delete fd[f] }
    }
    END { printf "%.1f %d\n", n ? calls / n : 0, n }' "$raw/probe-torpord-w.strace")

rss_first=$(kb VmRSS "$raw/growth-torpord.first.status")
rss_last=$(kb VmRSS "$raw/growth-torpord.last.status")
real_lines=$(wc -l <"$raw/diskstats-real.txt")
real_bytes=$(wc -c <"$raw/diskstats-real.txt")

row() {
    local t=${fig[torpord.$2]} h=${fig[hd-idle.$2]}
    echo "| $1 | $t | $h | ${3-$(ratio "$t" "$h")} |"
}

cat <<EOF
torpord against hd-idle $(cat "$raw/version-hd-idle") (Debian's package, run as \`hd-idle -i 0 -a sdzz -i 10\`: one
watched disk that never shows, polled once a second), in the same sandbox and run. A torpord
cycle holds 60 one-second sleeps, an hd-idle poll one: the sleeps are left out of the system
calls, and the sleep shim's own instructions (about 75 a sleep) stay in the counts.
Instructions and allocations: median of cycles (polls) $counted_from-$counted_to, range in brackets. Memory:
once the first pass is over, median of ${#status[@]} starts (range), and one start under setarch -R (no
address randomisation: the same figures at every start). Ratio: torpord's figure over hd-idle's.

| Figure | torpord | hd-idle | torpord : hd-idle |
|---|---:|---:|---:|
$(row "instructions per idle cycle / poll, fixed 64-line file" idle)
$(row "instructions per active cycle / poll, fixed file" active)
$(row "instructions per idle cycle / poll, real /proc/diskstats ($real_lines lines)" real)
$(row "system calls per idle cycle / poll besides sleeps, fixed file" sys)
$(row "system calls per idle cycle / poll besides sleeps, real file" rsys)
$(row "sleeps per cycle / poll" sleeps "")
$(row "heap allocations per idle cycle / poll (median; most)" heap)
$(row "heap allocations per active cycle / poll" heap_act)
$(row "VmRSS, kB" rss)
$(row "RssAnon, kB" anon)
$(row "RssFile, kB" file)
$(row "Pss, kB" pss)
$(row "USS (Private_Clean + Private_Dirty), kB" uss)
$(row "VmRSS / Pss / USS, kB, under setarch -R" fixed "")
$(row "stripped size, bytes" size)
$(row "text / data / bss of the stripped program, bytes" segments "")

torpord's own goals:

| Figure | torpord | Goal | Goal met |
|---|---:|---|---|
| system calls per idle cycle besides sleeps, fixed file | ${fig[torpord.sys]} | <= 4 | $(verdict "${fig[torpord.sys]} <= 4") |
| system calls per idle cycle besides sleeps, real /proc/diskstats | ${fig[torpord.rsys]} | <= 4 (5 with fstat) | $(verdict "${fig[torpord.rsys]} <= 5") |
| one-second sleeps per cycle | ${fig[torpord.sleeps]} | 60 | $(verdict "${fig[torpord.sleeps]} == 60") |
| heap allocations per idle cycle (median; most) | ${fig[torpord.heap]} | 0 | $(verdict "${fig[torpord.heap]#*; } == 0") |
| VmRSS growth over 10,000 idle cycles, kB | $((rss_last - rss_first)) ($rss_first to $rss_last) | 0 | $(verdict "$rss_last <= $rss_first") |

With \`-w\`, each USB disk that torpord stopped is asked once per spin-down time whether it still
is. One question costs $(((probe_with - probe_without) / 6)) instructions (the third cycle of a run with six disks
asked, $probe_with, over the same cycle without \`-w\`, $probe_without, divided by six) and
${probe_calls% *} system calls (open, SG_IO, close, over ${probe_calls#* } questions in the run); the sg nodes are
/dev/null there, which answers ENOTTY, so the kernel's part of a real question is not counted.
Without \`-w\` the idle figures above are those of torpord as the appliance starts it.

System calls per cycle (poll) besides the sleeps, by call, over the complete cycles of each log:
- torpord, fixed file (${fig[torpord.cycles]} cycles):${fig[torpord.list]}
- torpord, real /proc/diskstats, $real_lines lines, $real_bytes bytes (${fig[torpord.rcycles]} cycles):${fig[torpord.rlist]}
- hd-idle, fixed file (${fig[hd-idle.cycles]} polls):${fig[hd-idle.list]}
- hd-idle, real /proc/diskstats (${fig[hd-idle.rcycles]} polls):${fig[hd-idle.rlist]}

Reads of /proc/diskstats in one idle cycle (poll), as bytes asked:bytes got:
- torpord, fixed file: $(strace_reads "$raw/fixed-torpord.strace")
- torpord, real /proc/diskstats: $(strace_reads "$raw/real-torpord.strace")
- hd-idle, fixed file: $(strace_reads "$raw/fixed-hd-idle.strace")
- hd-idle, real /proc/diskstats: $(strace_reads "$raw/real-hd-idle.strace")

Shared libraries needed: torpord $(cat "$raw/needed-torpord"); hd-idle $(cat "$raw/needed-hd-idle")

Where torpord's idle cycle goes (callgrind_annotate --inclusive=yes of the cycle $counted_to dump):
\`\`\`
$(callgrind_annotate --inclusive=yes "$(cg_prefix idle-torpord).$counted_to" 2>/dev/null |
    grep -E '^ *[0-9,]+ ' | grep -v -E 'PROGRAM TOTALS|libc_start|below main|ld-linux' | head -12)
\`\`\`

Tools started during the runs (the stand-in's log):
\`\`\`
$(cat "$raw/standin.log")
\`\`\`
EOF
