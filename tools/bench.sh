#!/usr/bin/env bash
# Benchmarks of the explorer bar with 100, 1,000 and 10,000 downloads (see
# tools/bench.cpp): builds the benchmark program, runs it under Wine in a prefix
# of its own with the engine stand-in registered and a real display driver (on a
# virtual display when DISPLAY is unset), and prints a table.
#   bench.sh [runs]      (default 3)
# Not part of the tests. Needs what tools/setup.sh installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
build=${TDM_BUILD_DIR:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
    bash "$root/tools/build.sh"
fi
cmake --build "$build" --target bench tdm test_engine >/dev/null
source "$root/tools/display_prefix.sh"
use_display_prefix "$build/wine/bench" "$build/tdm.dll" "$build/tests/standins/engine/test_engine.dll"
wine "$build/tools/bench.exe" "${1:-3}" | tr -d '\r'
wineserver -w
