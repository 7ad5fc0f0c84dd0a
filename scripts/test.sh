#!/bin/sh
# Builds everything and runs every test. Warnings are errors here.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

cmake -S . -B "$build" -DWERROR=ON
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
