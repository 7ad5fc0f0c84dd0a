#!/bin/sh
# Builds the programs (optimised for size, as shipped) and runs every
# benchmark, printing one table. Each figure is a ratio against a baseline
# run in the same invocation. Exits 1 when a goal is missed.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
set -- "$build/reader/cairnvar" "$build/bridge/teleslot"
if [ -x "$build/target/reader/cairnvar" ]; then
  set -- "$@" "$build/target/reader/cairnvar" "$build/target/bridge/teleslot"
fi
echo "machine: $(nproc) cores, $(uname -m), $(uname -r)"
"$build/bench/bench" "$@"
