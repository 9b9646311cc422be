#!/usr/bin/env bash
# The main job: sets up the machine, builds tdm.dll, registers it in a Wine
# prefix of the project's own and shows what the registration wrote.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TDM_BUILD_DIR:-$root/build}
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"
prefix=$build/wine/demo
bash "$root/tools/make_prefix.sh" "$prefix" >/dev/null
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
dll=$(winepath -w "$build/tdm.dll")
echo "== regsvr32 $dll"
wine regsvr32 "$dll"
wineserver -w
show() { echo; echo "== $1"; wine reg query "$1" /s 2>/dev/null | tr -d '\r' | sed '/^$/d'; }
for progid in TolDloadMr TolBand TolDownloadHelper TolDownloadToolbar; do
    show "HKCR\\TolDownloadClient.$progid"
    clsid=$(wine reg query "HKCR\\TolDownloadClient.$progid\\CLSID" /ve 2>/dev/null | tr -d '\r' | awk '/REG_SZ/ {print $NF}')
    show "HKCR\\CLSID\\$clsid"
done
show 'HKCR\TypeLib\{0F770BB4-BC93-4913-99F4-E143F05C6069}'
show 'HKLM\Software\Microsoft\Internet Explorer\Explorer Bars'
show 'HKLM\Software\Microsoft\Internet Explorer\Extensions'
show 'HKLM\Software\Microsoft\Internet Explorer\Toolbar'
show 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects'
echo; echo "== HKLM\\Software\\Microsoft\\Internet Explorer: DownloadUI"
wine reg query 'HKLM\Software\Microsoft\Internet Explorer' /v DownloadUI | tr -d '\r' | sed '/^$/d'
show 'HKCU\Software\Microsoft\Internet Explorer\MenuExt'
echo; echo "== the four classes, created by JScript through their ProgIDs"
script=$(mktemp --suffix=.js)
cat > "$script" <<'JS'
var names = ["TolDloadMr", "TolBand", "TolDownloadHelper", "TolDownloadToolbar"];
for (var i = 0; i < names.length; i++) {
    var object = new ActiveXObject("TolDownloadClient." + names[i]);
    WScript.Echo("created TolDownloadClient." + names[i] + ": " + (object != null));
}
JS
wine cscript //nologo "$(winepath -w "$script")" | tr -d '\r'
rm -f "$script"
wineserver -w
