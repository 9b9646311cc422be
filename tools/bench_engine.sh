#!/usr/bin/env bash
# Benchmarks of the download engine against aria2c alone and curl, on loopback
# from the engine tests' HTTP server. The engine runs under Wine in a prefix of
# its own (build/wine/bench) and is driven by tools/bench_engine.cpp; aria2c
# alone gets the engine's disk options. Prints a table (min / median / max of
# the runs):
#   1 KB       ms until the file is whole at its place (aria2c and curl: the
#              whole process; the engine: from AddUrl returning)
#   400 MB     seconds until the file is whole
#   12 MB slow seconds from a server that sends each connection 300 KB/s
#              (aria2c alone and curl: one connection, one run)
#   AddUrl     ms per call, 1,000 paused adds in a row, and the 1,000 that
#              bring the table to 10,000; then 1,000 started adds of a slow
#              file (paused adds do not reach aria2 until they start)
#   idle CPU   the engine's CPU, % of one core, with 1,000 paused downloads, read
#              after the engine has settled for 5 s
#   resident   the engine's resident bytes per download (1,000 added); Wine's
#              heap makes this no measure of what a download takes
#   memory     bytes the engine core allocates per download and in how many
#              heap blocks, 10,000 paused downloads added (bench_engine_memory)
#   bench_engine.sh [runs] [idle-seconds]      (default 3, 20)
# Not part of the tests. Needs what tools/setup.sh installs; about 2 GB free in /tmp.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
build=${TDM_BUILD_DIR:-$root/build}
runs=${1:-3}
idle=${2:-20}
settle=5  # seconds; as kSettleMs in bench_engine.cpp
prefix=$build/wine/bench-engine
work=$(mktemp -d /tmp/tdm-bench.XXXXXX)
cleanup() {
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    pkill -f -- "--conf-path=$prefix/" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# Nothing of an earlier run of the prefix may still run.
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
pkill -f -- "--conf-path=$prefix/" 2>/dev/null || true

if [ ! -f "$build/build.ninja" ]; then
    bash "$root/tools/build.sh"
fi
cmake --build "$build" --target tdm_engine bench_engine bench_engine_memory >/dev/null
rm -rf "$prefix" 2>/dev/null || { sleep 2; rm -rf "$prefix"; }
bash "$root/tools/make_prefix.sh" "$prefix" "$build/tdm-engine.exe" >/dev/null
export WINEPREFIX=$prefix WINEARCH=$TDM_WINEARCH WINEDEBUG=-all
wine reg add 'HKCU\Software\Tolvane\Engine' /v ExitDelay /t REG_DWORD /d 3600000 /f >/dev/null 2>&1

python3 "$root/tests/engine_server/http_test_server.py" "$work/files" "$work/port" 7200 \
    tiny.bin=1024 large.bin=$((400 << 20)) &
server_pid=$!
for _ in $(seq 600); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cut -d' ' -f1 "$work/port")
url=http://127.0.0.1:$port

# aria2c alone and curl, timed by the shell (milliseconds).
now_ms() { date +%s%3N; }
timed() { local start; start=$(now_ms); "$@" >/dev/null 2>&1; echo $(($(now_ms) - start)); }
alone() {
    rm -f "$work/alone/$2"
    timed aria2c -q --allow-overwrite=true --auto-file-renaming=false --file-allocation=none --disk-cache=0 \
        --split="$3" --max-connection-per-server="$3" --min-split-size=1M -d "$work/alone" -o "$2" "$url$1"
}
with_curl() { rm -f "$work/alone/$2"; timed curl -s -o "$work/alone/$2" "$url$1"; }
mkdir -p "$work/alone"
declare -A figures
add() { figures[$1]="${figures[$1]:-} $2"; }
for _ in $(seq "$runs"); do
    add tiny_aria2 "$(alone /file/tiny.bin tiny.bin 8)"
    add tiny_curl "$(with_curl /file/tiny.bin tiny.bin)"
    add large_aria2 "$(alone /file/large.bin large.bin 8)"
    add large_curl "$(with_curl /file/large.bin large.bin)"
done
rm -f "$work/alone/large.bin"
add sections_aria2 "$(alone /slow/sections.bin sections.bin 1)"
add sections_curl "$(with_curl /slow/sections.bin sections.bin)"

# The engine, through the benchmark program; its process is read at the marks.
mkdir -p "$work/engine"
engine_pid=""
find_engine() {  # the newest engine process of the prefix
    local newest="" start=0 this
    for dir in /proc/[0-9]*; do
        if tr '\0' ' ' < "$dir/cmdline" 2>/dev/null | grep -q 'tdm-engine.exe' &&
            grep -qz "WINEPREFIX=$prefix" "$dir/environ" 2>/dev/null; then
            this=$(awk '{print $22}' "$dir/stat")
            [ "$this" -gt "$start" ] && start=$this && newest=${dir#/proc/}
        fi
    done
    echo "$newest"
}
rss() { awk '/^VmRSS/ {print $2 * 1024}' "/proc/$1/status"; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
while read -r name value; do
    value=${value%$'\r'}
    case $name in
        mark)
            [ -z "$engine_pid" ] && engine_pid=$(find_engine)
            if [ "$value" = empty ]; then
                rss0=$(rss "$engine_pid")
            else
                sleep "$settle"  # the table is saved 2 s after the last add
                rss1=$(rss "$engine_pid")
                t0=$(ticks "$engine_pid")
                sleep "$idle"
                t1=$(ticks "$engine_pid")
            fi ;;
        tiny) add tiny_engine "$value" ;;
        large) add large_engine "$(python3 -c "print(round($value * 1000))")" ;;
        sections) add sections_engine "$(python3 -c "print(round($value * 1000))")" ;;
        add1000|add10000|started10000) add "$name" "$value" ;;
    esac
done < <(wine "$build/tools/bench_engine.exe" "$port" "Z:${work//\//\\}\\engine" "$runs" "$idle" | tr -d '\r')

# The engine core's own bytes per download, counted in a process of its own.
while read -r name value; do
    add "$name" "${value%$'\r'}"
done < <(wine "$build/tools/bench_engine_memory.exe" "Z:${work//\//\\}\\memory" "Z:${work//\//\\}\\memory-files" |
    tr -d '\r')

stats() {  # min / median / max of the figures, divided by $2
    python3 -c "
import sys
v = sorted(float(x) / $2 for x in sys.argv[1:] if float(x) >= 0)
print('%s / %s / %s' % (('%.3g' % v[0]), ('%.3g' % v[len(v) // 2]), ('%.3g' % v[-1])) if v else 'failed')" ${figures[$1]:-}
}
hz=$(getconf CLK_TCK)
printf '%-30s %-22s %-22s %-22s\n' "measure (min / median / max)" "aria2c alone" "curl" "engine" \
    "1 KB, ms" "$(stats tiny_aria2 1)" "$(stats tiny_curl 1)" "$(stats tiny_engine 1)" \
    "400 MB, s" "$(stats large_aria2 1000)" "$(stats large_curl 1000)" "$(stats large_engine 1000)" \
    "12 MB at 300 KB/s a link, s" "$(stats sections_aria2 1000)" "$(stats sections_curl 1000)" \
    "$(stats sections_engine 1000)" \
    "AddUrl, ms per call (1,000)" "-" "-" "$(stats add1000 1)" \
    "AddUrl at 10,000, ms per call" "-" "-" "$(stats add10000 1)" \
    "AddUrl started, at 10,000, ms" "-" "-" "$(stats started10000 1)" \
    "idle CPU, 1,000 downloads, %" "-" "-" "$(python3 -c "print('%.2f' % (100.0 * (${t1:-0} - ${t0:-0}) / $hz / $idle))")" \
    "resident size per download, B" "-" "-" "$(python3 -c "print(round((${rss1:-0} - ${rss0:-0}) / 1000))")" \
    "memory per download, bytes" "-" "-" "${figures[memory]:- failed} in${figures[blocks]:- ?} blocks"
