#!/usr/bin/env bash
# Configures and builds tdm.dll and the test programs (cross build) in build/,
# and the Windows aria2c.exe the engine tests and the release use
# (tools/build_aria2.sh: built once per machine, in a cache outside the checkout).
# Uses ccache when the machine has it; paths are hashed relative to the source
# tree, so several checkouts of the project share one cache.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
build=${TDM_BUILD_DIR:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$TDM_ARCH.cmake" "${launcher[@]}" >/dev/null
fi
CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true cmake --build "$build" -- -k 0
bash "$root/tools/build_aria2.sh" >/dev/null
