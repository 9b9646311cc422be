#!/usr/bin/env bash
# Configures and builds tdm.dll and the test programs (cross build) in build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TDM_BUILD_DIR:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$build" -- -k 0
