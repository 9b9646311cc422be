#!/bin/sh
# Kills the aria2c process whose configuration file is $1 (one engine's own
# backend, nothing else): what a crash of aria2 looks like to the engine.
for dir in /proc/[0-9]*; do
    if tr '\0' ' ' < "$dir/cmdline" 2>/dev/null | grep -qF -- "--conf-path=$1"; then
        kill -9 "${dir#/proc/}"
    fi
done
