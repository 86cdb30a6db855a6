#!/bin/sh
# The quality gates over daemon/ and lib/, in order; the first red gate ends
# the run. Each gate prints what it measured and how long it took.
# Usage: tools/check.sh [GATE...]    gates: asan lint fuzz coverage arm (all)
# Environment: JOBS (parallel jobs), FUZZ_SECONDS (per target, default 20).
set -eu
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
COVERAGE_MIN=90
LINT=build-lint
FUZZ=build-fuzz
COV=build-cov
SOURCES=$(ls daemon/*.cpp lib/*.cpp)

gate_asan() {
    make --no-print-directory test-asan JOBS="$JOBS"
}

# clang-tidy with the checks of .clang-tidy (findings are errors) over every
# translation unit, then cppcheck, then shellcheck over every tracked shell
# script (a #! line of sh or bash, or a .sh name) as the shell of its #! line
# or directive; a suppression is written beside its line.
gate_lint() {
    cmake -S . -B "$LINT" -DCMAKE_BUILD_TYPE=Release -DTORPOR_TESTS=OFF >/dev/null
    echo "clang-tidy: $(echo "$SOURCES" | wc -l) translation units"
    echo "$SOURCES" | xargs -P "$JOBS" -n 1 clang-tidy -p "$LINT" --quiet
    cppcheck --enable=warning,style,performance,portability --inconclusive --library=posix \
        --std=c++20 --inline-suppr --error-exitcode=1 --quiet -I daemon -I lib daemon lib
    echo "cppcheck: no findings"
    git ls-files | xargs awk 'FNR == 1 && (/^#!\/bin\/(ba)?sh$/ || FILENAME ~ /\.sh$/) { print FILENAME }
        { nextfile }' >"$LINT/scripts"
    xargs shellcheck <"$LINT/scripts"
    echo "shellcheck: $(wc -l <"$LINT/scripts") scripts, no findings"
}

# Each libFuzzer target for FUZZ_SECONDS from its seed corpus (fuzz/corpus/)
# plus what earlier runs found ($FUZZ/corpus/); a crash leaves its input in
# $FUZZ/artifacts/ and fails the gate.
gate_fuzz() {
    CC=clang CXX=clang++ cmake -S . -B "$FUZZ" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTORPOR_TESTS=OFF -DTORPOR_FUZZ=ON >/dev/null
    cmake --build "$FUZZ" -j "$JOBS" >/dev/null
    mkdir -p "$FUZZ/artifacts"
    for program in "$FUZZ"/fuzz/fuzz_*; do
        name=${program##*/fuzz_}
        [ -d "fuzz/corpus/$name" ] || { echo "fuzz $name: no seed corpus in fuzz/corpus/$name"; return 1; }
        mkdir -p "$FUZZ/corpus/$name"
        log="$FUZZ/$name.log"
        rc=0
        "$program" -max_total_time="$FUZZ_SECONDS" -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$FUZZ/artifacts/$name-" "$FUZZ/corpus/$name" "fuzz/corpus/$name" \
            >"$log" 2>&1 || rc=$?
        if [ "$rc" -ne 0 ]; then
            tail -n 40 "$log"
            echo "fuzz $name: FAILED (input kept in $FUZZ/artifacts/)"
            return 1
        fi
        runs=$(sed -n 's/^stat::number_of_executed_units: //p' "$log")
        echo "fuzz $name: $runs executions in ${FUZZ_SECONDS}s, no crash"
    done
}

# The ordinary suite in a coverage build; gcovr over daemon/ and lib/.
gate_coverage() {
    cmake -S . -B "$COV" -DCMAKE_BUILD_TYPE=Debug -DTORPOR_TESTS=ON -DTORPOR_COVERAGE=ON >/dev/null
    cmake --build "$COV" -j "$JOBS" >/dev/null
    find "$COV" -name '*.gcda' -delete
    rc=0
    ctest --test-dir "$COV" -j "$JOBS" --output-on-failure >"$COV/ctest.log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
        tail -n 60 "$COV/ctest.log"
        return 1
    fi
    tail -n 3 "$COV/ctest.log"
    # Each report goes to a file of the build tree: gcovr replaces its output
    # file, which for /dev/null would leave a regular file in its place.
    for dir in daemon lib; do
        printf '%s/: ' "$dir"
        gcovr -r . "$COV" --filter "$dir/" --print-summary -o "$COV/coverage-$dir.txt" |
            sed -n 's/^lines: //p'
    done
    gcovr -r . "$COV" --filter daemon/ --filter lib/ --print-summary \
        --fail-under-line "$COVERAGE_MIN"
}

gate_arm() {
    make --no-print-directory arm JOBS="$JOBS"
}

gates=${*:-asan lint fuzz coverage arm}
summary=""
for gate in $gates; do
    echo "=== gate $gate"
    start=$(date +%s)
    # A subshell of its own, outside any condition, so that set -e holds in it.
    set +e
    (
        set -e
        "gate_$gate"
    )
    rc=$?
    set -e
    # Nothing a gate runs may change the machine; /dev/null is the device
    # that a stray output file would replace first.
    if [ ! -c /dev/null ]; then
        echo "gate $gate left /dev/null something other than the device"
        rc=1
    fi
    if [ "$rc" -ne 0 ]; then
        echo "=== gate $gate: FAILED after $(($(date +%s) - start))s"
        exit 1
    fi
    took=$(($(date +%s) - start))
    echo "=== gate $gate: passed in ${took}s"
    summary="$summary $gate:${took}s"
done
echo "=== all gates passed:$summary"
