#!/usr/bin/env bash
# Creates a fresh 32-bit Wine prefix for the tests: null graphics driver (no
# display needed), no .NET or HTML engine installers.
#   make_prefix.sh <prefix> [dll-to-register ...]
set -euo pipefail
prefix=$1; shift
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
for dll in "$@"; do
    wine regsvr32 /s "$dll"
done
wineserver -w
echo "prefix ready: $prefix"
