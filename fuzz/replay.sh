#!/usr/bin/env bash
# The fuzz targets as a quick regression test, with the default compiler and without
# libFuzzer: each target is built as a program that replays stored inputs
# (fuzz/standalone_main.cpp, CMake option ORVANEL_FUZZ_REPLAY) and run over the seed
# corpus fuzz/make_corpus.py makes and every input committed to fuzz/regressions/<target>/.
# `make test` runs it. Fails at the first input a target's checks reject.
#
# Environment: PYTHON (an interpreter with orvanel installed, for the seeds),
# REPLAY_BUILD (default build/replay), REPLAY_JOBS (compile jobs, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD=${REPLAY_BUILD:-build/replay}

mkdir -p "$BUILD"
{ cmake -S . -B "$BUILD" -DORVANEL_FUZZ_REPLAY=ON -DORVANEL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build "$BUILD" -j "${REPLAY_JOBS:-2}"; } >"$BUILD/build.log" 2>&1 || { cat "$BUILD/build.log"; exit 1; }

rm -rf "$BUILD/seeds"
"$PYTHON" fuzz/make_corpus.py "$BUILD/seeds" >/dev/null

for source in fuzz/fuzz_*.cpp; do
    target=${source#fuzz/fuzz_}
    target=${target%.cpp}
    inputs=("$BUILD/seeds/$target")
    [ -d "fuzz/regressions/$target" ] && inputs+=("fuzz/regressions/$target")
    "$BUILD/replay_$target" "${inputs[@]}"
done
