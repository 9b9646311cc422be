#!/bin/sh
# Sends signal $2 (default KILL) to the aria2c process whose configuration file
# is $1 (one engine's own backend, nothing else) and writes into $1.count how
# many there were. KILL is what a crash of aria2 looks like to the engine, STOP
# a hung aria2, CONT its recovery; 0 only counts.
signal=${2:-KILL}
count=0
for dir in /proc/[0-9]*; do
    if { tr '\0' ' ' < "$dir/cmdline"; } 2>/dev/null | grep -qF -- "--conf-path=$1"; then
        kill -"$signal" "${dir#/proc/}" && count=$((count + 1))
    fi
done
echo "$count" > "$1.count"
