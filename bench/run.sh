#!/bin/bash
# Runs every benchmark (make bench): the daemon's cycle, then the library's
# Google Benchmark programs. Writes BUILD_DIR/results: daemon.md,
# library.md, each program's console output and CSV, and raw/.
# Usage (as root): bench/run.sh BUILD_DIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
out=$build/results
mkdir -p "$out"

{
    echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "machine: $(uname -srm), $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
    echo "memory: $(awk '/^MemTotal/ { printf "%d MiB", $2 / 1024 }' /proc/meminfo)"
    echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "compiler: $(c++ --version | head -1)"
    echo "valgrind: $(valgrind --version); strace: $(strace -V | head -1)"
    echo "benchmark library: $(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null || echo unknown)"
} >"$out/machine.txt"
cat "$out/machine.txt"

"$here/daemon_bench.sh" "$build" "$out"

for program in "$build"/bench/*_bench; do
    name=$(basename "$program")
    echo "bench: $name"
    "$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
        --benchmark_out="$out/$name.csv" --benchmark_out_format=csv | tee "$out/$name.txt"
done

"$here/library_report.sh" "$out" >"$out/library.md"
echo "bench: figures in $out/daemon.md and $out/library.md"
