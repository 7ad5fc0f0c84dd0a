#!/bin/sh
# A bounded fuzzing session on the reader: FUZZ_SECONDS (default 60) of
# libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer, starting
# from the committed seed corpus. Any finding fails the run and leaves the
# crashing input in the build directory.
set -eu
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}

CXX=clang++ cmake -S . -B "$build" -DFUZZ=ON -DWERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target reader_fuzz convert_fuzz

# Work on copies: new inputs found on the way stay out of the source tree.
# The reader gets the time asked for, the option conversions a third of it.
fuzz() {
  target=$1 seeds=$2 time=$3
  mkdir -p "$build/$target-corpus"
  cp "$seeds"/* "$build/$target-corpus/"
  "$build/tests/fuzz/$target" -max_total_time="$time" -max_len=4096 \
    -artifact_prefix="$build/$target-" "$build/$target-corpus"
}
fuzz reader_fuzz tests/fuzz/corpus "$seconds"
fuzz convert_fuzz tests/fuzz/convert_corpus $((seconds / 3 + 1))
