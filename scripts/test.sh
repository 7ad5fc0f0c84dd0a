#!/bin/sh
# Builds everything and runs every test, warnings as errors: natively, again
# natively under AddressSanitizer and UndefinedBehaviorSanitizer, and for the
# board (PowerPC, under qemu) when the cross tools are there. As root
# on Debian it installs the cross tools when they are missing. TARGET_LEG=ON
# makes a missing target leg an error instead of a skip.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

have_cross_tools() {
  command -v powerpc-linux-gnu-g++ >/dev/null 2>&1 && command -v qemu-ppc-static >/dev/null 2>&1
}

if ! have_cross_tools && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y g++-powerpc-linux-gnu qemu-user-static
fi
if have_cross_tools; then
  leg=${TARGET_LEG:-ON}
else
  leg=${TARGET_LEG:-OFF}
fi

cmake -S . -B "$build" -DWERROR=ON -DTARGET_LEG="$leg"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

# The native suite once more with the sanitizers; any finding fails its test.
cmake -S . -B "$build-sanitize" -DWERROR=ON -DSANITIZE=ON -DTARGET_LEG=OFF
cmake --build "$build-sanitize" -j "$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$build-sanitize" --output-on-failure -j "$(nproc)"

echo "Program sizes:"
for program in "$build"/reader/cairnvar "$build"/bridge/teleslot; do
  size "$program" | tail -n 1
done
if [ -d "$build/target" ]; then
  for program in "$build"/target/reader/cairnvar "$build"/target/bridge/teleslot; do
    powerpc-linux-gnu-size "$program" | tail -n 1
  done
else
  echo "NOTE: the PowerPC target leg was SKIPPED (powerpc-linux-gnu-g++ or qemu-ppc-static missing)."
fi
