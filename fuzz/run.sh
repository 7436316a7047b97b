#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake, ORVANEL_FUZZ), makes the seed corpus with the
# project's writer, and runs each target for FUZZ_SECONDS seconds over its corpus, the
# seeds and the committed regression inputs (fuzz/regressions/<target>/).
#
# Needs clang++ with libFuzzer and the sanitizer runtimes; installs nothing (.ci/run
# does, when they are missing). `fuzz/run.sh --check-toolchain` only tells whether they
# are there.
#
# Environment: PYTHON (an interpreter with orvanel installed, for the seeds),
# FUZZ_SECONDS (default 60), FUZZ_TARGETS (default: all), FUZZ_BUILD (default build/fuzz),
# FUZZ_JOBS (compile jobs, default 2).
# Prints executions and findings per target and writes them to $FUZZ_BUILD/summary.txt.
# Exits non-zero when a target finds a crash, a leak, a hang or a failed check.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
default_targets=$(for f in fuzz/fuzz_*.cpp; do f=${f#fuzz/fuzz_}; printf '%s ' "${f%.cpp}"; done)
FUZZ_TARGETS=${FUZZ_TARGETS:-$default_targets}
BUILD=${FUZZ_BUILD:-build/fuzz}

# Largest input per target: enough for every encoding and for a row at the payload
# limit, small enough that a hostile header cannot make a load allocate gigabytes.
declare -A MAX_LEN=([reader]=16384 [decode]=16384 [roundtrip]=65536 [header]=4096 [transpose]=1024 [parallel]=16384)

have_libfuzzer() {
    local probe
    probe=$(mktemp -d)
    printf '#include <cstdint>\n#include <cstddef>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' \
        >"$probe/probe.cpp"
    local status=0
    command -v clang++ >/dev/null &&
        clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null || status=1
    rm -rf "$probe"
    return "$status"
}

if [ "${1:-}" = "--check-toolchain" ]; then
    have_libfuzzer
    exit
fi
if ! have_libfuzzer; then
    echo "fuzz/run.sh needs clang++ with libFuzzer and the sanitizer runtimes (.ci/run installs them)" >&2
    exit 1
fi

build() {
    mkdir -p "$BUILD"
    cmake -S . -B "$BUILD" -DCMAKE_CXX_COMPILER=clang++ -DORVANEL_FUZZ=ON >"$BUILD/configure.log" 2>&1 ||
        { cat "$BUILD/configure.log"; exit 1; }
    local targets=()
    for target in $FUZZ_TARGETS; do targets+=("fuzz_$target"); done
    cmake --build "$BUILD" -j "${FUZZ_JOBS:-2}" --target "${targets[@]}" >"$BUILD/build.log" 2>&1 ||
        { cat "$BUILD/build.log"; exit 1; }
}

run_target() {
    local target=$1 log="$BUILD/logs/$1.log"
    local corpus="$BUILD/corpus/$target"
    mkdir -p "$corpus" "$BUILD/logs" "$BUILD/findings"
    local dirs=("$corpus" "$BUILD/seeds/$target")
    [ -d "fuzz/regressions/$target" ] && dirs+=("fuzz/regressions/$target")
    local status=0
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$BUILD/fuzz_$target" -max_total_time="$FUZZ_SECONDS" -max_len="${MAX_LEN[$target]}" \
        -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$BUILD/findings/$target-" "${dirs[@]}" >"$log" 2>&1 || status=$?
    local execs
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    local verdict="no finding"
    if [ "$status" -ne 0 ]; then
        verdict="FINDING (exit $status): $(grep -m1 -E 'ERROR|check failed|runtime error|Timeout|out-of-memory' "$log" || echo 'see log')"
        verdict+=" -> $(ls -t "$BUILD/findings/$target-"* 2>/dev/null | head -n1)"
        verdict+=" (commit it to fuzz/regressions/$target/ once fixed)"
    fi
    printf '%-10s %12s executions in %ss  %s\n' "$target" "${execs:-?}" "$FUZZ_SECONDS" "$verdict" | tee -a "$BUILD/summary.txt"
    return "$status"
}

build
rm -rf "$BUILD/seeds"
"$PYTHON" fuzz/make_corpus.py "$BUILD/seeds"
: >"$BUILD/summary.txt"
failed=0
for target in $FUZZ_TARGETS; do
    run_target "$target" || failed=1
done
exit "$failed"
