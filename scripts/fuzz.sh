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
cmake --build "$build" -j "$(nproc)" --target reader_fuzz

# Work on a copy: new inputs found on the way stay out of the source tree.
corpus=$build/corpus
mkdir -p "$corpus"
cp tests/fuzz/corpus/* "$corpus/"
"$build/tests/fuzz/reader_fuzz" -max_total_time="$seconds" -max_len=4096 \
  -artifact_prefix="$build/" "$corpus"
