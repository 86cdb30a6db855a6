#!/bin/sh
# Runs the whole suite of a built tree again and again with CPU-bound
# processes beside it, and says how many runs passed: for people who want to
# see that the suite gives the same answer on a busy machine (not for CI).
# Usage: tools/soak.sh [-n RUNS] [-k LOAD] [BUILD_DIR]
#   RUNS runs (default 5), LOAD busy processes (default 2), BUILD_DIR a tree
#   built with its tests (default build; make test or make test-asan builds
#   one). Each run's log is kept as BUILD_DIR/soak-N.log.
set -eu

runs=5
load=2
while getopts n:k: opt; do
    case "$opt" in
    n) runs=$OPTARG ;;
    k) load=$OPTARG ;;
    *) sed -n 's/^# Usage: //p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
build=${1:-build}
if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "soak: $build holds no built suite (make test or make test-asan builds one)" >&2
    exit 2
fi
jobs=${JOBS:-$(nproc)}
# As make test-asan runs the suite; a build without sanitizers ignores them.
export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

busy=""
stop_busy() {
    # shellcheck disable=SC2086 # a word per pid
    [ -z "$busy" ] || kill $busy 2>/dev/null || true
    busy=""
}
trap stop_busy EXIT
trap 'exit 130' INT TERM
i=0
while [ "$i" -lt "$load" ]; do
    yes >/dev/null &
    busy="$busy $!"
    i=$((i + 1))
done
echo "soak: $runs runs of the suite in $build, $jobs jobs, $load busy processes beside it"

passed=0
failed=0
run=1
while [ "$run" -le "$runs" ]; do
    log="$build/soak-$run.log"
    start=$(date +%s)
    if ctest --test-dir "$build" --output-on-failure -j "$jobs" >"$log" 2>&1; then
        result=passed
        passed=$((passed + 1))
    else
        result=FAILED
        failed=$((failed + 1))
    fi
    counts=$(grep -E 'tests passed' "$log" | tail -n 1)
    echo "run $run: $result in $(($(date +%s) - start)) s (${counts:-no summary; see $log})"
    [ "$result" = passed ] || sed -n '/^The following tests FAILED/,$p' "$log"
    run=$((run + 1))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
