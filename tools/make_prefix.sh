#!/usr/bin/env bash
# Creates a fresh Wine prefix (32-bit, or 64-bit on a machine without 32-bit code) for the tests: null graphics driver (no
# display needed), no .NET or HTML engine installers. Registers the servers
# given: a DLL through regsvr32, an executable (a local server) by running it
# with -RegServer.
#   make_prefix.sh <prefix> [server-to-register ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
prefix=$1; shift
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEARCH=$TDM_WINEARCH WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
for server in "$@"; do
    case $server in
        *.exe) wine "$server" -RegServer ;;
        *) wine regsvr32 /s "$server" ;;
    esac
done
wineserver -w
echo "prefix ready: $prefix"
