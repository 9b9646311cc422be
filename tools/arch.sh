# Sourced by the build and test tools: which Windows the build targets.
# The module is a 32-bit DLL, as the browser that loads it is. Some machines run
# no 32-bit code at all (their kernel has IA-32 emulation off), and there 32-bit
# Wine cannot start: such a machine builds the same sources for 64-bit Windows and
# runs the tests in 64-bit Wine prefixes. TDM_ARCH (i686 or x86_64) overrides it.
if [ -z "${TDM_ARCH:-}" ]; then
    if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1 \
       && [ -x /usr/lib/wine/wine64 ]; then
        TDM_ARCH=x86_64
    else
        TDM_ARCH=i686
    fi
fi
export TDM_ARCH
if [ "$TDM_ARCH" = x86_64 ]; then
    export TDM_WINEARCH=win64 TDM_TRIPLET=x86_64-w64-mingw32
    case ":$PATH:" in
        *":$root/tools/wine64:"*) ;;
        *) export PATH="$root/tools/wine64:$PATH" ;;
    esac
else
    export TDM_WINEARCH=win32 TDM_TRIPLET=i686-w64-mingw32
fi
