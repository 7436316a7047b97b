#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, linking the core sources directly, makes the seed corpus
# with the project's writer, and runs each target for FUZZ_SECONDS seconds.
#
# Environment: PYTHON (an interpreter with orvanel installed, for the seeds),
# FUZZ_SECONDS (default 60), FUZZ_TARGETS (default: all), FUZZ_BUILD (default build/fuzz).
# Prints executions and findings per target and writes them to $FUZZ_BUILD/summary.txt.
# Exits non-zero when a target finds a crash, a leak, a hang or a failed check.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_TARGETS=${FUZZ_TARGETS:-"reader decode roundtrip header transpose"}
BUILD=${FUZZ_BUILD:-build/fuzz}

# Largest input per target: enough for every encoding and for a row at the payload
# limit, small enough that a hostile header cannot make a load allocate gigabytes.
declare -A MAX_LEN=([reader]=16384 [decode]=16384 [roundtrip]=65536 [header]=4096 [transpose]=1024)

ensure_clang() {
    local probe="$BUILD/probe.cpp"
    mkdir -p "$BUILD"
    printf '#include <cstdint>\n#include <cstddef>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' >"$probe"
    if command -v clang++ >/dev/null && clang++ -fsanitize=fuzzer,address,undefined "$probe" -o "$BUILD/probe" 2>/dev/null; then
        return
    fi
    echo "installing clang and its sanitizer runtimes from the Debian packages"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq clang >/dev/null
    local major
    major=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
    apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null 2>&1 || true
    clang++ -fsanitize=fuzzer,address,undefined "$probe" -o "$BUILD/probe"
}

build() {
    local flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
                 -fno-sanitize-recover=all -I.)
    mkdir -p "$BUILD/obj" "$BUILD/bin"
    printf '%s\n' core/*.cpp | xargs -P "$(nproc)" -I{} sh -c \
        'clang++ "$@" -fsanitize=fuzzer-no-link -c "{}" -o "'"$BUILD"'/obj/$(basename "{}" .cpp).o"' _ "${flags[@]}"
    for target in $FUZZ_TARGETS; do
        clang++ "${flags[@]}" -fsanitize=fuzzer "fuzz/fuzz_$target.cpp" "$BUILD"/obj/*.o -o "$BUILD/bin/fuzz_$target"
    done
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
        "$BUILD/bin/fuzz_$target" -max_total_time="$FUZZ_SECONDS" -max_len="${MAX_LEN[$target]}" \
        -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$BUILD/findings/$target-" "${dirs[@]}" >"$log" 2>&1 || status=$?
    local execs
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
    local verdict="no finding"
    if [ "$status" -ne 0 ]; then
        verdict="FINDING (exit $status): $(grep -m1 -E 'ERROR|check failed|runtime error|Timeout|out-of-memory' "$log" || echo 'see log')"
        verdict+=" -> $(ls -t "$BUILD/findings/$target-"* 2>/dev/null | head -n1)"
    fi
    printf '%-10s %12s executions in %ss  %s\n' "$target" "${execs:-?}" "$FUZZ_SECONDS" "$verdict" | tee -a "$BUILD/summary.txt"
    return "$status"
}

ensure_clang
build
rm -rf "$BUILD/seeds"
"$PYTHON" fuzz/make_corpus.py "$BUILD/seeds"
: >"$BUILD/summary.txt"
failed=0
for target in $FUZZ_TARGETS; do
    run_target "$target" || failed=1
done
exit "$failed"
