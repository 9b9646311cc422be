# Sourced by the tools that draw under Wine (screenshots, benchmarks): a Wine
# prefix of their own with a real display driver, and a virtual display (Xvfb)
# when DISPLAY is unset.
#   use_display_prefix <prefix> [server-to-register ...]
use_display_prefix() {
    local prefix=$1; shift
    export WINEARCH=${TDM_WINEARCH:-win32} WINEDEBUG=-all WINEPREFIX=$prefix
    if [ ! -f "$prefix/system.reg" ]; then
        bash "$root/tools/make_prefix.sh" "$prefix" "$@" >/dev/null
        wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
        # No window manager runs on the virtual display: Wine draws the frames itself.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
        wineserver -w
    fi
    if [ -z "${DISPLAY:-}" ]; then
        local display=99
        while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
            display=$((display + 1))
        done
        Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb=$!
        trap 'kill "$xvfb" 2>/dev/null || true' EXIT
        for _ in $(seq 100); do
            [ -e "/tmp/.X11-unix/X$display" ] && break
            sleep 0.1
        done
        export DISPLAY=":$display"
    fi
}
