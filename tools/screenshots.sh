#!/usr/bin/env bash
# Pictures of the client's dialogs as a user sees them, in English and in Russian:
# builds the screenshot program (tools/screenshots.cpp) when needed, runs it under
# Wine in a prefix of its own with a real display driver, on a virtual display
# (Xvfb) when DISPLAY is unset, and saves PNGs under build/screenshots/.
# Not part of the tests. Needs what tools/setup.sh installs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TDM_BUILD_DIR:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
    bash "$root/tools/build.sh"
fi
cmake --build "$build" --target screenshots >/dev/null

# The test prefixes draw with the null driver; this one draws on the display.
prefix=$build/wine/screenshots
export WINEARCH=win32 WINEDEBUG=-all WINEPREFIX=$prefix
if [ ! -f "$prefix/system.reg" ]; then
    bash "$root/tools/make_prefix.sh" "$prefix" >/dev/null
    wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
    # No window manager runs on the virtual display: Wine draws the frames itself.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    wineserver -w
fi

if [ -z "${DISPLAY:-}" ]; then
    display=99
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'kill "$xvfb" 2>/dev/null || true' EXIT
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$display" ] && break
        sleep 0.1
    done
    export DISPLAY=":$display"
fi

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
