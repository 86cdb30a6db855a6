#!/bin/bash
# Turns the raw output of daemon_bench.sh into the table of daemon.md.
# Usage: bench/daemon_report.sh OUT_DIR
set -euo pipefail

raw=$1/raw
# The first cycle holds the start-up. The status file is written at the end
# of the first cycle (every disk active) and of the second (every disk now
# idle), and a callgrind dump, made after spinDownUsbHdd, holds the end of
# the cycle before: the fourth is the first dump of a cycle that changes
# nothing.
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

# cg_figure RUN KIND: the median over the counted cycles of instructions or
# allocations, and the range.
cg_figure() {
    local prefix part values
    prefix=$(cg_prefix "$1-torpord")
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

read -r t_idle t_idle_min t_idle_max <<<"$(cg_figure idle instructions)"
read -r t_act t_act_min t_act_max <<<"$(cg_figure active instructions)"
read -r t_heap _ t_heap_max <<<"$(cg_figure idle allocations)"
read -r t_heap_act _ _ <<<"$(cg_figure active allocations)"
read -r t_sys t_sleeps t_cycles t_list <<<"$(strace_figure "$raw/fixed-torpord.strace")"
read -r tr_sys _ tr_cycles tr_list <<<"$(strace_figure "$raw/real-torpord.strace")"

status=("$raw"/memory-torpord.*.status)
rss=$(kb_median VmRSS "${status[@]}")
rss_range=$(for f in "${status[@]}"; do kb VmRSS "$f"; done |
    sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "-" hi }')
anon=$(kb_median RssAnon "${status[@]}")
file=$(kb_median RssFile "${status[@]}")
pss=$(kb_median Pss "$raw"/memory-torpord.*.smaps_rollup)
anonymous=$(kb_median Anonymous "$raw"/memory-torpord.*.smaps_rollup)
rss_first=$(kb VmRSS "$raw/growth-torpord.first.status")
rss_last=$(kb VmRSS "$raw/growth-torpord.last.status")
real_lines=$(wc -l <"$raw/diskstats-real.txt")
real_bytes=$(wc -c <"$raw/diskstats-real.txt")

cat <<EOF
| Figure | torpord | Goal | Goal met |
|---|---:|---|---|
| instructions per idle cycle (median of cycles $counted_from-$counted_to; range) | $t_idle ($t_idle_min-$t_idle_max) | | |
| instructions per active cycle (median; range) | $t_act ($t_act_min-$t_act_max) | | |
| system calls per idle cycle besides sleeps, fixed file | $t_sys | <= 4 | $(verdict "$t_sys <= 4") |
| system calls per idle cycle besides sleeps, real /proc/diskstats | $tr_sys | <= 4 (5 with fstat) | $(verdict "$tr_sys <= 5") |
| one-second sleeps per cycle | $t_sleeps | 60 | $(verdict "$t_sleeps == 60") |
| heap allocations per idle cycle (median; most) | $t_heap; $t_heap_max | <= 1 (the stream) | $(verdict "$t_heap_max <= 1") |
| heap allocations per active cycle (median) | $t_heap_act | | |
| resident memory VmRSS, kB (median of ${#status[@]} starts; range) | $rss ($rss_range) | | |
| VmRSS growth over 10,000 idle cycles, kB | $((rss_last - rss_first)) ($rss_first to $rss_last) | 0 | $(verdict "$rss_last <= $rss_first") |
| anonymous memory RssAnon, kB | $anon | | |
| file-backed resident RssFile, kB | $file | | |
| smaps_rollup Pss / Anonymous, kB | $pss / $anonymous | | |
| stripped program size, bytes | $(cat "$raw/size-torpord") | | |

System calls per cycle besides the sleeps, by call, over the complete cycles of each log:
- fixed file ($t_cycles cycles):$t_list
- real /proc/diskstats, $real_lines lines, $real_bytes bytes ($tr_cycles cycles):$tr_list

Reads of /proc/diskstats in one idle cycle, as bytes asked:bytes got:
- fixed file: $(strace_reads "$raw/fixed-torpord.strace")
- real /proc/diskstats: $(strace_reads "$raw/real-torpord.strace")

Shared libraries needed: $(cat "$raw/needed-torpord")

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
