#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (no recovery)
# into its own build folder and virtual environment, then runs the whole test suite with
# the sanitizer runtime preloaded into the interpreter and leak detection on. Before
# that, runs the C++ tests of the codec under both sanitizers (every kernel set reads
# and writes only what it may) and the core's concurrent loads and writes under
# ThreadSanitizer.
#
# Environment: PYTHON (the interpreter to make the environment from), SANITIZE_VENV
# (default .venv-sanitize), SANITIZE_BUILD (default build/sanitize), SANITIZE_JOBS
# (compile jobs of the ThreadSanitizer check, default 2); arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=${SANITIZE_VENV:-.venv-sanitize}
BUILD=${SANITIZE_BUILD:-build/sanitize}
VPY=$VENV/bin/python

test -x "$VPY" || "$PYTHON" -m venv "$VENV"
"$VPY" -m pip install --quiet --upgrade pip
rm -rf "$BUILD/dist"
"$VPY" -m pip wheel --quiet --no-deps --wheel-dir "$BUILD/dist" \
    -C "build-dir=$BUILD/{wheel_tag}" -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.ORVANEL_SANITIZE=ON .
wheel=$(ls "$BUILD"/dist/orvanel-*.whl)
"$VPY" -m pip install --quiet --force-reinstall --no-deps "$wheel"
"$VPY" -m pip install --quiet "$wheel[test]"

# The runtime of the compiler the module was built with.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$BUILD"/cp*/CMakeCache.txt | head -n1)
runtime=$("${compiler:-c++}" -print-file-name=libasan.so)
test -f "$runtime" || { echo "no AddressSanitizer runtime found for ${compiler:-c++}" >&2; exit 1; }
# The C++ runtime is preloaded too: the sanitizer wraps the throwing of exceptions and
# must find the real function when it starts, before the module brings the library in.
cxx_runtime=$("${compiler:-c++}" -print-file-name=libstdc++.so)

# The codec's kernels under AddressSanitizer and UndefinedBehaviorSanitizer.
core_tests="$BUILD/core-tests"
mkdir -p "$core_tests"
{ cmake -S . -B "$core_tests" -DCMAKE_CXX_COMPILER="${compiler:-c++}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DORVANEL_SANITIZE=ON -DORVANEL_CORE_TESTS=ON &&
  cmake --build "$core_tests" -j "${SANITIZE_JOBS:-2}" --target codec_test; } >"$core_tests/build.log" 2>&1 ||
    { cat "$core_tests/build.log"; exit 1; }
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$core_tests/codec_test"

# The core from several threads at once, under ThreadSanitizer: the extension releases
# the interpreter lock while it loads and writes, so these run concurrently there.
threads="$BUILD/threads"
mkdir -p "$threads/work"
{ cmake -S . -B "$threads" -DCMAKE_CXX_COMPILER="${compiler:-c++}" -DORVANEL_THREAD_CHECK=ON &&
  cmake --build "$threads" -j "${SANITIZE_JOBS:-2}" --target thread_check; } >"$threads/build.log" 2>&1 ||
    { cat "$threads/build.log"; exit 1; }
TSAN_OPTIONS=halt_on_error=1 "$threads/thread_check" "$threads/work"

# PYTHONMALLOC=malloc sends every Python object through malloc, where the sanitizer
# sees it: reads past a buffer, use after free and leaks of objects are all caught.
# allocator_may_return_null=1 keeps the normal meaning of an allocation that cannot be
# had (the tests of oversized matrices expect MemoryError, not a sanitizer report).
export LD_PRELOAD="$runtime $cxx_runtime"
export PYTHONMALLOC=malloc
# Allocation stacks are unwound fully (the interpreter is built without frame pointers)
# so that the leak suppressions can tell the interpreter's allocations from the module's.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:allocator_may_return_null=1:strict_init_order=1:detect_stack_use_after_return=1:fast_unwind_on_malloc=0:malloc_context_size=12
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ORVANEL_SANITIZED=1
# Reports go to files (the watchdog of the signal tests too), printed below when the run
# fails: pytest captures a test's output
# descriptors, and a report that ends the process with it would otherwise be lost.
reports="$PWD/$BUILD/reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/asan"
export UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan"
export ORVANEL_WATCHDOG_LOG="$reports/watchdog"
# Left out here:
# - the heavy tests (an address-space limit cannot work with the sanitizer's reserved
#   shadow region; `make test` runs them once);
# - by ORVANEL_SANITIZED, the measurements of memory (the sanitizer keeps shadow memory
#   and a quarantine of its own for every allocation);
# - the modules that test the Python layer alone: the other file formats (through h5py,
#   zipfile and the csv module), the command line (in subprocesses, each of which would
#   start the interpreter and NumPy under the sanitizer: seconds apiece), plots and the
#   documentation's examples. They reach the extension modules only through
#   the loads, writes and row streams the modules kept here test directly, and under the
#   full unwinding the leak check needs they would take most of an hour.
python_layer_only=(
    test_blocks.py test_blocks_cli.py test_cli.py test_csv_npz.py test_omx.py test_plot.py
    test_examples.py
)
ignored=()
for module in "${python_layer_only[@]}"; do ignored+=(--ignore "tests/$module"); done
status=0
"$VPY" -m pytest -q -p no:cacheprovider -m "not heavy" "${ignored[@]}" "$@" tests || status=$?
if [ "$status" -ne 0 ]; then
    for report in "$reports"/*; do
        [ -f "$report" ] && { echo "== $report"; cat "$report"; }
    done
fi
exit "$status"
