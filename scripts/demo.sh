#!/bin/sh
# Builds the programs and shows them at work on the shipped sample: the
# reader lists and queries a flash image, and the bridge serves one client on
# a pseudo-terminal. Needs only cmake and g++ (installed here when run as
# root on Debian and missing).
set -eu
cd "$(dirname "$0")/.."
build=${DEMO_BUILD_DIR:-build-demo}

if ! command -v cmake >/dev/null 2>&1 || ! command -v g++ >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y cmake g++ make >/dev/null
  fi
fi
cmake -S . -B "$build" -DBUILD_TESTING=OFF -DTARGET_LEG=OFF >/dev/null
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
