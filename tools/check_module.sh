#!/usr/bin/env bash
# Checks the built module as a file: a PE DLL for the build's processor (a
# 32-bit one for i386 unless x86_64 is named) that exports exactly the four COM
# server entry points and imports only system DLLs.
#   check_module.sh <tdm.dll> [i686|x86_64]
set -euo pipefail
dll=$1
arch=${2:-i686}
fail() { echo "check_module: $*" >&2; exit 1; }

description=$(file -b "$dll")
if [ "$arch" = x86_64 ]; then
    objdump=x86_64-w64-mingw32-objdump kind="PE32+ x86-64"
    pattern="PE32+ executable (DLL)*x86-64*"
else
    objdump=i686-w64-mingw32-objdump kind="PE32 i386"
    pattern="PE32 executable (DLL)*Intel 80386*"
fi
# shellcheck disable=SC2254
case "$description" in
    $pattern) ;;
    *) fail "not a $kind DLL: $description" ;;
esac

exports=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && !/Table/ {print $NF}' | sort | tr '\n' ' ')
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "exports are not exactly the four entry points: $exports"

# The C++ runtime, libgcc and winpthreads are linked in: only DLLs of Windows itself
# (wininet.dll and urlmon.dll are the browser's own network libraries, loaded before the module).
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll msvcrt.dll shell32.dll shlwapi.dll comctl32.dll comdlg32.dll version.dll msimg32.dll uxtheme.dll wininet.dll urlmon.dll "
for import in $($objdump -p "$dll" | awk '/DLL Name:/ {print tolower($3)}'); do
    case "$allowed" in
        *" $import "*) ;;
        *) fail "imports a DLL that is not part of Windows: $import" ;;
    esac
done
echo "check_module: $dll is a $kind DLL with the four exports and system imports only"
