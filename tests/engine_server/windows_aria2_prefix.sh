#!/usr/bin/env bash
# The prefix of the engine tests that run through the Windows aria2c.exe
# (tools/build_aria2.sh, cached) rather than the Linux aria2c: a copy of the
# engine in a folder of its own beside aria2c.exe, which the engine takes
# before any other, registered with the servers given.
#   windows_aria2_prefix.sh <prefix> <tdm-engine.exe> [server-to-register ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$1 engine=$2
shift 2
aria2=$(bash "$root/tools/build_aria2.sh" | tail -n 1)
folder=$(dirname "$prefix")/windows-aria2-engine
rm -rf "$folder"
mkdir -p "$folder"
cp "$engine" "$aria2" "$folder/"
bash "$root/tools/make_prefix.sh" "$prefix" "$@" "$folder/$(basename "$engine")"
