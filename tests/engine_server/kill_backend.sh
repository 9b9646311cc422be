#!/bin/sh
# Sends signal $2 (default KILL) to the aria2c process whose configuration file
# is $1 (one engine's own backend, nothing else) and writes into $1.count how
# many there were. KILL is what a crash of aria2 looks like to the engine, STOP
# a hung aria2, CONT its recovery; 0 only counts. (One grep over every command
# line, as a loaded machine has many processes; the bracket keeps grep from
# finding its own.)
signal=${2:-KILL}
count=0
for file in $(grep -lzx -- "[-]-conf-path=$1" /proc/[0-9]*/cmdline 2>/dev/null); do
    pid=${file#/proc/}
    kill -"$signal" "${pid%/cmdline}" 2>/dev/null && count=$((count + 1))
done
echo "$count" > "$1.count"
