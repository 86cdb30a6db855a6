#!/bin/bash
# The library's figures from the CSV files of run.sh, as library.md: medians
# of the repetitions, the text operations as multiples of the baseline.
# Usage: bench/library_report.sh RESULTS_DIR
set -euo pipefail

out=$1

# "name ms items_per_second argument" of the median rows of a CSV file: the
# CPU time, or the wall time for manually timed runs, in milliseconds; the
# argument is the number after the last colon of the name.
medians() {
    [ -e "$1" ] || return 0
    awk -F, '/^"/ && $1 ~ /_median"$/ {
        name = $1
        gsub(/"/, "", name)
        sub(/_median$/, "", name)
        time = name ~ /manual_time/ ? $3 : $4
        scale = $5 == "ns" ? 1e-6 : $5 == "us" ? 1e-3 : $5 == "s" ? 1e3 : 1
        arg = name
        sub(/.*:/, "", arg)
        printf "%s %s %s %s\n", name, time * scale, $7 == "" ? "-" : $7, arg
    }' "$1"
}

echo "### Text utilities and line selection, 16 MiB text (CPU time, median of 5)"
echo
echo "| Operation | ms | x baseline | Goal <= 2x |"
echo "|---|---:|---:|---|"
medians "$out/text_bench.csv" | awk '
    { name[NR] = $1; ms[NR] = $2 }
    $1 ~ /^BM_baseline/ { base = $2 }
    END {
        for (i = 1; i <= NR; i++) {
            ratio = ms[i] / base
            goal = name[i] ~ /^BM_baseline/ ? "(baseline)" : ratio <= 2 ? "met" : "NOT met"
            printf "| %s | %.2f | %.2f | %s |\n", substr(name[i], 4), ms[i], ratio, goal
        }
    }'

echo
echo "### errlog_write, reports per second (median of 5)"
echo
echo "| Run | reports/s | time per report |"
echo "|---|---:|---:|"
medians "$out/errlog_bench.csv" | awk '{
    printf "| %s | %.0f | %.2f us |\n", substr($1, 4), $3, 1e6 / $3 * ($1 ~ /4_processes/ ? 4 : 1)
}'
echo
echo "(Four processes: reports of all four per second of wall time; the time per report is"
echo "per process.)"

if [ -e "$out/share_bench.csv" ]; then
    echo
    echo "### sortOutBuffer, tracing off (CPU time, median of 5)"
    echo
    echo "| Lines | ms | Goal: 100,000 lines < 100 ms |"
    echo "|---|---:|---|"
    medians "$out/share_bench.csv" | awk '{
        printf "| %s | %.2f | %s |\n", $4, $2, $4 == 100000 ? ($2 < 100 ? "met" : "NOT met") : ""
    }'
fi

if [ -e "$out/conflist_bench.csv" ]; then
    echo
    echo "### conf_list_load (CPU time, median of 5)"
    echo
    echo "| Keys | ms | keys/s |"
    echo "|---|---:|---:|"
    medians "$out/conflist_bench.csv" | awk '{ printf "| %s | %.3f | %.0f |\n", $4, $2, $3 }'
fi
