#!/usr/bin/env bash
# Checks the built module as a file: a PE DLL for the build's processor (a
# 32-bit one for i386 unless x86_64 is named) that exports exactly the four COM
# server entry points and imports only system DLLs. With --exe: a console
# program (aria2c.exe) for that processor importing only system DLLs.
#   check_module.sh <tdm.dll> [i686|x86_64]
#   check_module.sh --exe <program.exe> [i686|x86_64]
set -euo pipefail
what=DLL
if [ "$1" = --exe ]; then
    what=program
    shift
fi
dll=$1
arch=${2:-i686}
fail() { echo "check_module: $*" >&2; exit 1; }

description=$(file -b "$dll")
if [ "$arch" = x86_64 ]; then
    objdump=x86_64-w64-mingw32-objdump kind="PE32+ x86-64" machine="*x86-64*"
    format="PE32+ executable"
else
    objdump=i686-w64-mingw32-objdump kind="PE32 i386" machine="*Intel 80386*"
    format="PE32 executable"
fi
if [ "$what" = program ]; then
    pattern="$format (console)$machine"
else
    pattern="$format (DLL)$machine"
fi
# shellcheck disable=SC2254
case "$description" in
    $pattern) ;;
    *) fail "not a $kind $what: $description" ;;
esac

# The C++ runtime, libgcc and winpthreads are linked in: only DLLs of Windows itself
# (wininet.dll and urlmon.dll are the browser's own network libraries, loaded before the module).
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll msvcrt.dll shell32.dll shlwapi.dll comctl32.dll comdlg32.dll version.dll msimg32.dll uxtheme.dll wininet.dll urlmon.dll "
# A program may also import sockets, certificates and TLS (SChannel), network interfaces.
[ "$what" = program ] && allowed+="ws2_32.dll wsock32.dll crypt32.dll secur32.dll iphlpapi.dll bcrypt.dll "
for import in $($objdump -p "$dll" | awk '/DLL Name:/ {print tolower($3)}'); do
    case "$allowed" in
        *" $import "*) ;;
        *) fail "imports a DLL that is not part of Windows: $import" ;;
    esac
done
if [ "$what" = program ]; then
    echo "check_module: $dll is a $kind program with system imports only"
    exit 0
fi

exports=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && !/Table/ {print $NF}' | sort | tr '\n' ' ')
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "exports are not exactly the four entry points: $exports"
echo "check_module: $dll is a $kind DLL with the four exports and system imports only"
