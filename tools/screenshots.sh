#!/usr/bin/env bash
# Pictures of the dialogs, the explorer bar and the toolbar band as a user sees
# them, in English and in Russian:
# builds the screenshot program (tools/screenshots.cpp) when needed, runs it under
# Wine in a prefix of its own with a real display driver, on a virtual display
# (Xvfb) when DISPLAY is unset, and saves PNGs under build/screenshots/.
# Not part of the tests. Needs what tools/setup.sh installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
build=${TDM_BUILD_DIR:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
    bash "$root/tools/build.sh"
fi
cmake --build "$build" --target screenshots >/dev/null

# The test prefixes draw with the null driver; this one draws on the display. The
# engine stand-in serves the bar's downloads.
cmake --build "$build" --target test_engine >/dev/null
source "$root/tools/display_prefix.sh"
use_display_prefix "$build/wine/screenshots"
wine regsvr32 /s "$build/tests/standins/engine/test_engine.dll"

out=$build/screenshots
rm -rf "$out"
mkdir -p "$out"
for run in "1033 en_US.UTF-8" "1049 ru_RU.UTF-8"; do
    read -r language locale <<<"$run"
    LC_ALL=$locale LANG=$locale wine "$build/tools/screenshots.exe" "$language" "$(winepath -w "$out")" | tr -d '\r'
done
wineserver -w

convert=/usr/bin/convert
[ -x "$convert" ] || convert=convert
for picture in "$out"/*.bmp; do
    "$convert" "$picture" "${picture%.bmp}.png"
    rm "$picture"
done
ls "$out"
