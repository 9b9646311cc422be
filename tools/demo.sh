#!/usr/bin/env bash
# The main job, a live demo: sets up the machine, builds, registers tdm.dll and
# the engine (tdm-engine.exe) in a Wine prefix of the demo's own, starts a local
# HTTP server (loopback only) with a handful of files, and opens the demo
# browser (tools/demo_browser.cpp): a browser window with the toolbar band and
# the explorer bar, in which the client is driven through its own entry points
# while the real engine loads the files into build/demo/downloads. Prints a
# report of every download (state, size, SHA-256 against the served file) and
# saves build/demo/demo.png (the large download halfway) and demo_end.png.
#
#   demo.sh            with a display (DISPLAY set) the window stays open until
#                      it is closed; without one it runs on a virtual display
#   demo.sh --check    never waits for a user; exits non-zero when a download
#                      does not end as expected (the test command runs it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
build=${TDM_BUILD_DIR:-$root/build}
check=0
[ "${1:-}" = "--check" ] && check=1
wait_for_user=()
[ -n "${DISPLAY:-}" ] && [ $check = 0 ] && wait_for_user=(--wait)

bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"
cmake --build "$build" --target demo_browser >/dev/null

out=$build/demo
rm -rf "$out"
mkdir -p "$out/downloads"
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null || true
    [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
}
# A real display driver, on a virtual display (Xvfb) when DISPLAY is unset.
source "$root/tools/display_prefix.sh"
use_display_prefix "$build/wine/live-demo"
trap cleanup EXIT
wine regsvr32 /s "$build/tdm.dll"
wine "$build/tdm-engine.exe" -RegServer
# New downloads go into the demo's folder, and a photo of an earlier day is
# already there under the name of one of the files: its download asks whether
# to replace it.
wine reg add 'HKCU\Software\Tolvane\Download Manager\Settings' /v Browse /d "$(winepath -w "$out/downloads")\\" /f \
    >/dev/null 2>&1
echo "an older photo" >"$out/downloads/photo.jpg"

# The files: one large (served throttled under /slow/), a few small ones (one
# of them behind Basic authentication, /auth/), and /missing answers 404.
lifetime=300
[ ${#wait_for_user[@]} -gt 0 ] && lifetime=3600
python3 "$root/tests/engine_server/http_test_server.py" "$out/served" "$out/port" "$lifetime" \
    large.bin=24000000 archive.zip=700000 photo.jpg=250000 manual.pdf=400000 &
server=$!
for _ in $(seq 100); do
    [ -s "$out/port" ] && break
    sleep 0.1
done
port=$(cut -d" " -f1 "$out/port")  # the http port; the TLS ports follow it
echo "test server: http://127.0.0.1:$port (files in $out/served)"

status=0
wine "$build/tools/demo_browser.exe" "http://127.0.0.1:$port" "$(winepath -w "$out/served")" \
    "$(winepath -w "$out/downloads")" "$(winepath -w "$out")" "${wait_for_user[@]}" | sed -u "s/\r$//" || status=$?
# The engine ends by itself a few seconds after its last client, and stops aria2.
timeout 60 wineserver -w || wineserver -k

convert=/usr/bin/convert
[ -x "$convert" ] || convert=convert
for picture in "$out"/*.bmp; do
    [ -f "$picture" ] || continue
    "$convert" "$picture" "${picture%.bmp}.png"
    rm "$picture"
done
[ -f "$out/demo.png" ] && [ -f "$out/demo_end.png" ] || status=1
echo "pictures: $out/demo.png (the large download halfway), $out/demo_end.png (the end)"
if [ "$status" != 0 ]; then
    echo "demo: a download did not end as expected (exit $status)"
    exit 1
fi
echo "demo: every download ended as expected; files in $out/downloads"
