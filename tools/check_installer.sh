#!/usr/bin/env bash
# The installer's round trip in a fresh Wine prefix: builds the release
# (tools/release.sh), installs it silently, checks the files, the registrations
# and the installed-programs entry, creates the client's four classes and the
# engine's class by ProgID (from a program, and those without a band window from
# JScript), uninstalls silently and checks that
# nothing of ours is left on disk or in the registry but the user's settings,
# which a silent uninstall keeps. Exits non-zero on the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
out=${TDM_RELEASE_DIR:-$root/build-release}
bash "$root/tools/release.sh"

prefix=$out/wine/installer
bash "$root/tools/make_prefix.sh" "$prefix" >/dev/null
export WINEPREFIX=$prefix WINEARCH=$TDM_WINEARCH WINEDEBUG=-all
fail() { echo "check_installer: FAILED: $*" >&2; exit 1; }
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
reg_default() { wine reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/^ *([^)]*) *REG_[A-Z_]* *//p'; }

# Our identifiers: the classes, interfaces and type libraries of the module and
# the engine, the toolbar button, the ProgIDs, the installed-programs key.
ids=$(cat "$root/module/tdm.idl" "$root/engine/"*.idl "$root/resources/"*.rgs "$root/engine_server/"*.rgs |
      grep -o '[0-9A-Fa-f]\{8\}-[0-9A-Fa-f]\{4\}-[0-9A-Fa-f]\{4\}-[0-9A-Fa-f]\{4\}-[0-9A-Fa-f]\{12\}' |
      sort -u | grep -vi '1FBA04EE-3024-11D2-8F1F-0000F87ABD16')
patterns=$(printf '%s\n' $ids TolDownloadClient Tolvane.DownloadEngine TolvaneDownloadManager 'by Tolvane Download Manager')

# Keys of the prefix's registry, for a comparison before and after.
registry_keys() { cat "$prefix/system.reg" "$prefix/user.reg" | grep '^\[' | sed 's/\] [0-9]*$/]/' | sort -u; }
wineserver -w
registry_keys > "$out/wine/keys-before"

setup=$(winepath -w "$out/tdm-setup.exe")
wine "$setup" /S || fail "the installer exited with $?"
wineserver -w

folder="C:\\Program Files\\Tolvane Download Manager"
unix_folder=$(winepath -u "$folder")
for file in tdm.dll tdm-engine.exe tdm1033.chm tdm1049.chm uninstall.exe; do
    [ -f "$unix_folder/$file" ] || fail "$file is not installed in $folder"
done
echo "installed: $(ls "$unix_folder" | tr '\n' ' ')"

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TolvaneDownloadManager'
version_value() { sed -n "s/^[[:space:]]*VALUE \"$1\", \"\\(.*\\)\"[[:space:]]*\$/\\1/p" "$root/resources/tdm.rc" | head -n 1; }
[ "$(reg_value "$uninstall_key" DisplayName)" = "$(version_value ProductName)" ] || fail "installed-programs name"
[ "$(reg_value "$uninstall_key" Publisher)" = "$(version_value CompanyName)" ] || fail "installed-programs publisher"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$(version_value ProductVersion)" ] || fail "installed-programs version"
reg_value "$uninstall_key" UninstallString | grep -qi 'uninstall.exe' || fail "no uninstall command"

band='{EAB8C56D-C780-4F08-9F07-C300A639E72F}'
toolbar='{3F1A54DB-DBC1-4AF4-9596-53B52730F98A}'
reg_default "HKCR\\CLSID\\$band\\InprocServer32" | grep -qi 'Program Files\\Tolvane Download Manager\\tdm.dll' ||
    fail "the band's server is not the installed tdm.dll"
reg_default "HKCR\\CLSID\\{85DD53AA-0FBC-40C2-94FF-CAC57CCF8452}\\LocalServer32" | grep -qi 'tdm-engine.exe' ||
    fail "the engine is not registered"
wine reg query "HKLM\\Software\\Microsoft\\Internet Explorer\\Explorer Bars\\$band" >/dev/null 2>&1 ||
    fail "no explorer bar entry"
[ -n "$(reg_value 'HKLM\Software\Microsoft\Internet Explorer\Toolbar' "$toolbar")" ] || fail "no toolbar entry"
[ "$(reg_value 'HKLM\Software\Microsoft\Internet Explorer\Extensions\{C9AF7737-4895-4C5E-B95A-C34C852806CE}' 'Default Visible')" = Yes ] ||
    fail "no visible toolbar button"
wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{DA0A4960-3CEA-4999-9277-BB73AE8A9547}' \
    >/dev/null 2>&1 || fail "no browser helper object entry"
echo "registrations present"

# The classes as the browser creates them: by ProgID, without a site.
classes=(TolDownloadClient.TolDloadMr TolDownloadClient.TolBand TolDownloadClient.TolDownloadHelper
         TolDownloadClient.TolDownloadToolbar Tolvane.DownloadEngine)
"$TDM_TRIPLET-gcc" -municode -O2 -o "$out/create_class.exe" "$root/tests/installer/create_class.c" -lole32 -luuid
wine "$out/create_class.exe" "${classes[@]}" | tr -d '\r' || fail "not every class was created"

# Scripts: the classes without a band window, created by ProgID from JScript
# (the script engine sites what it creates; a band refuses a site that is not
# a browser's, so the two bands are left to the program above).
script=$(mktemp --suffix=.js)
trap 'rm -f "$script"' EXIT
cat > "$script" <<'JS'
var names = ["TolDownloadClient.TolDloadMr", "TolDownloadClient.TolDownloadHelper", "Tolvane.DownloadEngine"];
for (var i = 0; i < names.length; i++) {
    try {
        var object = new ActiveXObject(names[i]);
        WScript.Echo("script created " + names[i] + ": " + (object != null));
        object = null;
    } catch (e) {
        WScript.Echo("script failed " + names[i] + ": " + e.description);
    }
}
JS
created=$(wine cscript //nologo "$(winepath -w "$script")" | tr -d '\r')
echo "$created"
[ "$(grep -c ': true$' <<<"$created")" = 3 ] || fail "a script could not create every class"
wineserver -w

wine "$unix_folder/uninstall.exe" /S || fail "the uninstaller exited with $?"
wineserver -w
[ ! -e "$unix_folder" ] || fail "left on disk: $(ls -A "$unix_folder")"

left=$(cat "$prefix/system.reg" "$prefix/user.reg" | grep -iF "$patterns" || true)
[ -z "$left" ] || fail "left in the registry:"$'\n'"$left"
new_keys=$(registry_keys | comm -13 "$out/wine/keys-before" - | grep -iv '\\\\Tolvane\\\\\(Download Manager\|Engine\)' || true)
# For the record: keys that exist now and did not before, none of them ours (the
# grep above): under Wine the script host's own registrations and the browser's
# parent keys (Explorer Bars, Toolbar, ...), which registration keeps and Windows has anyway.
echo "keys new since before the installation (the user's settings excluded):"
echo "${new_keys:-  none}"
echo "installer round trip passed"
