#!/bin/sh
# Builds the programs and shows them at work on the shipped sample.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

image=$build/sample/environment.img
echo "\$ cairnvar -d $image -o 2000 -s 4096"
"$build/reader/cairnvar" -d "$image" -o 2000 -s 4096
echo
echo "\$ cairnvar -d $image -o 2000 -s 4096 board_name net_address"
"$build/reader/cairnvar" -d "$image" -o 2000 -s 4096 board_name net_address || true
echo
echo "\$ cairnvar -n -d $image -o 2000 -s 4096 console"
"$build/reader/cairnvar" -n -d "$image" -o 2000 -s 4096 console || true
echo
"$build/sample/bridge_demo" "$build/bridge/teleslot"
