#!/usr/bin/env bash
# Measures the download engine with many downloads: adds N downloads (default
# 1000) of a throttled file from the local test server to a real tdm-engine.exe
# in a prefix of its own (build/wine/bench), checks the download list, then
# measures the CPU the engine's one-second polling takes over a window while
# aria2 transfers 5 of them and holds the rest waiting (no client connected
# then: the engine is kept alive by a long ExitDelay, as Wine's cscript cannot
# sleep). Prints a table.
#   bench_engine.sh [downloads] [window-seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
build=${TDM_BUILD_DIR:-$root/build}
count=${1:-1000}
window=${2:-30}
prefix=$build/wine/bench
work=$(mktemp -d /tmp/tdm-bench.XXXXXX)
# At the end: the engine of the prefix and its aria2 (by its own configuration
# path) stopped, the server and the files gone.
cleanup() {
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    [ -n "${aria_pid:-}" ] && kill "$aria_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

cmake --build "$build" --target tdm_engine >/dev/null
bash "$root/tools/make_prefix.sh" "$prefix" "$build/tdm-engine.exe" >/dev/null
export WINEPREFIX=$prefix WINEARCH=$TDM_WINEARCH WINEDEBUG=-all
wine reg add 'HKCU\Software\Tolvane\Engine' /v ExitDelay /t REG_DWORD /d 3600000 /f >/dev/null 2>&1

python3 "$root/tests/engine_server/http_test_server.py" "$work/files" "$work/port" $((window + 300)) &
server_pid=$!
for _ in $(seq 100); do [ -f "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

cat > "$work/bench.js" <<JS
var e = new ActiveXObject("Tolvane.DownloadEngine");
var t0 = new Date().getTime();
for (var i = 0; i < $count; i++)
    e.AddUrl("http://127.0.0.1:$port/slow/slow.bin?n=" + i, "C:\\\\bench\\\\", 0, true, -1, "");
var t1 = new Date().getTime();
var list = new VBArray(e.GetDownloadList());
var t2 = new Date().getTime();
var rows = list.ubound(1) + 1, seen = {}, ok = true;
for (var r = 0; r < rows; r++) { var id = list.getItem(r, 0); if (seen[id]) ok = false; seen[id] = true; }
WScript.Echo("add_ms=" + (t1 - t0) + " list_ms=" + (t2 - t1) + " rows=" + rows + " unique=" + ok);
JS
wine cscript //nologo "Z:$work/bench.js" > "$work/out.txt" 2>&1

# The engine and its aria2 of this prefix, by their Unix processes.
engine_pid=""; aria_pid=""
for dir in /proc/[0-9]*; do
    cmd=$(tr "\0" " " < "$dir/cmdline" 2>/dev/null || true)
    case $cmd in
        *tdm-engine.exe*) grep -qz "WINEPREFIX=$prefix" "$dir/environ" 2>/dev/null && engine_pid=${dir#/proc/} ;;
        *aria2c*"--conf-path=$prefix"*) aria_pid=${dir#/proc/} ;;
    esac
done
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
e0=$(ticks "$engine_pid"); a0=$(ticks "$aria_pid")
sleep "$window"
e1=$(ticks "$engine_pid"); a1=$(ticks "$aria_pid")

read -r add list rows unique < <(sed -n 1p "$work/out.txt" | sed 's/[a-z_]*=//g') || true
engine_cpu=$(python3 -c "print('%.2f' % (100.0 * ($e1 - $e0) / $hz / $window))")
aria_cpu=$(python3 -c "print('%.2f' % (100.0 * ($a1 - $a0) / $hz / $window))")
printf '%-34s %s\n' "measure" "value" \
    "downloads added" "$count" \
    "AddUrl, all (ms)" "$add" \
    "GetDownloadList after adding (ms)" "$list" \
    "rows / ids unique" "$rows / $unique" \
    "engine CPU, % of one core (${window}s)" "$engine_cpu" \
    "aria2 CPU, % of one core (${window}s)" "$aria_cpu"
