#!/usr/bin/env bash
# Checks the built module as a file: a 32-bit PE DLL for i386 that exports
# exactly the four COM server entry points and imports only system DLLs. With
# --exe: a 32-bit i386 program (aria2c.exe) importing only system DLLs.
#   check_module.sh <tdm.dll>
#   check_module.sh --exe <program.exe>
set -euo pipefail
kind=dll
if [ "$1" = --exe ]; then
    kind=exe
    shift
fi
dll=$1
objdump=i686-w64-mingw32-objdump
fail() { echo "check_module: $*" >&2; exit 1; }

description=$(file -b "$dll")
case "$kind $description" in
    "dll PE32 executable (DLL)"*"Intel 80386"*) ;;
    "exe PE32 executable (console)"*"Intel 80386"*) ;;
    *) fail "not a 32-bit i386 $kind: $description" ;;
esac

# The Windows libraries a program may import besides the module's: sockets,
# certificates and TLS (SChannel), network interfaces.
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll msvcrt.dll shell32.dll shlwapi.dll comctl32.dll comdlg32.dll version.dll msimg32.dll uxtheme.dll "
if [ "$kind" = exe ]; then
    allowed+="ws2_32.dll wsock32.dll crypt32.dll secur32.dll iphlpapi.dll bcrypt.dll "
    for import in $($objdump -p "$dll" | awk '/DLL Name:/ {print tolower($3)}'); do
        case "$allowed" in
            *" $import "*) ;;
            *) fail "imports a DLL that is not part of Windows: $import" ;;
        esac
    done
    echo "check_module: $dll is a PE32 i386 program with system imports only"
    exit 0
fi

exports=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && !/Table/ {print $NF}' | sort | tr '\n' ' ')
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
    fail "exports are not exactly the four entry points: $exports"

# The C++ runtime, libgcc and winpthreads are linked in: only DLLs of Windows itself.
for import in $($objdump -p "$dll" | awk '/DLL Name:/ {print tolower($3)}'); do
    case "$allowed" in
        *" $import "*) ;;
        *) fail "imports a DLL that is not part of Windows: $import" ;;
    esac
done
echo "check_module: $dll is a PE32 i386 DLL with the four exports and system imports only"
