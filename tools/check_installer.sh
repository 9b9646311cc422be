#!/usr/bin/env bash
# The installer's round trip in a fresh Wine prefix: builds the release
# (tools/release.sh), installs it silently, checks the files, the registrations
# (Protected Mode's included) and the installed-programs entry, creates the
# client's four classes and the engine's class by ProgID (from a program, and
# those without a band window from JScript), downloads through the installed
# engine and the aria2c.exe beside it (http, https trusted through the prefix's
# root store, a Unicode file name) byte for byte, installs again over the
# running engine and checks that the downloads survive, uninstalls silently
# while the engine runs and checks that nothing of ours is left on disk, in the
# registry or running, but the user's settings, which a silent uninstall keeps.
#
# The Linux aria2c is out of the engine's reach here: the prefix has no drive
# for the machine's root (Z:), and the check looks at the processes of the
# prefix: aria2c.exe must be the one running, /usr/bin/aria2c never.
# Exits non-zero on the first failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
out=${TDM_RELEASE_DIR:-$root/build-release}
bash "$root/tools/release.sh"

prefix=$out/wine/installer
bash "$root/tools/make_prefix.sh" "$prefix" >/dev/null
rm -f "$prefix/dosdevices/z:"
export WINEPREFIX=$prefix WINEARCH=$TDM_WINEARCH WINEDEBUG=-all
fail() { echo "check_installer: FAILED: $*" >&2; exit 1; }
# Process ids of this prefix's processes whose command line matches $1.
prefix_processes() {
    local p
    for p in /proc/[0-9]*; do
        { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" || continue
        { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -qiE "$1" && echo "${p#/proc/}"
    done
    return 0
}
# Files the prefix's programs take, in C:, since Z: is gone.
stage=$prefix/drive_c/tdm-check
mkdir -p "$stage"
cp "$out/tdm-setup.exe" "$stage/"
"$TDM_TRIPLET-g++" -municode -O2 -static -I"$out/generated" -o "$stage/engine_client.exe" \
    "$root/tests/installer/engine_client.cpp" "$out/generated/engine_i.c" -lole32 -loleaut32 -lcrypt32 -luuid
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
reg_default() { wine reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/^ *([^)]*) *REG_[A-Z_]* *//p'; }

# Our identifiers: the classes, interfaces and type libraries of the module and
# the engine, the toolbar button, the ProgIDs, the installed-programs key.
ids=$(cat "$root/module/tdm.idl" "$root/engine/"*.idl "$root/resources/"*.rgs "$root/engine_server/"*.rgs |
      grep -o '[0-9A-Fa-f]\{8\}-[0-9A-Fa-f]\{4\}-[0-9A-Fa-f]\{4\}-[0-9A-Fa-f]\{4\}-[0-9A-Fa-f]\{12\}' |
      sort -u | grep -vi '1FBA04EE-3024-11D2-8F1F-0000F87ABD16')
patterns=$(printf '%s\n' $ids TolDownloadClient Tolvane.DownloadEngine TolvaneDownloadManager 'by Tolvane Download Manager' \
           "$(sed -n 's/.*ElevationPolicy\\\\\({[-0-9A-F]*}\).*/\1/p' "$root/engine_server/low_rights.cpp")")

# Keys of the prefix's registry, for a comparison before and after.
registry_keys() { cat "$prefix/system.reg" "$prefix/user.reg" | grep '^\[' | sed 's/\] [0-9]*$/]/' | sort -u; }
wineserver -w
registry_keys > "$out/wine/keys-before"

setup='C:\tdm-check\tdm-setup.exe'
wine "$setup" /S || fail "the installer exited with $?"
wineserver -w

folder="C:\\Program Files\\Tolvane Download Manager"
unix_folder=$(winepath -u "$folder")
for file in tdm.dll tdm-engine.exe aria2c.exe tdm1033.chm tdm1049.chm uninstall.exe; do
    [ -f "$unix_folder/$file" ] || fail "$file is not installed in $folder"
done
echo "installed: $(ls "$unix_folder" | tr '\n' ' ')"

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TolvaneDownloadManager'
version_value() { sed -n "s/^[[:space:]]*VALUE \"$1\", \"\\(.*\\)\"[[:space:]]*\$/\\1/p" "$root/resources/tdm.rc" | head -n 1; }
[ "$(reg_value "$uninstall_key" DisplayName)" = "$(version_value ProductName)" ] || fail "installed-programs name"
[ "$(reg_value "$uninstall_key" Publisher)" = "$(version_value CompanyName)" ] || fail "installed-programs publisher"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$(sed -n 's/^#define TDM_VERSION_TEXT "\(.*\)"$/\1/p' "$root/resources/version.h")" ] ||
    fail "installed-programs version"
size_kb=$(( $(reg_value "$uninstall_key" EstimatedSize) ))
installed_kb=$(du -sk --apparent-size "$unix_folder" | cut -f1)
[ "$size_kb" -ge $(( installed_kb * 9 / 10 )) ] && [ "$size_kb" -le $(( installed_kb * 11 / 10 + 8 )) ] ||
    fail "installed-programs size $size_kb KB, installed $installed_kb KB"
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
# Protected Mode: the browser's elevation policy for the engine, and the
# engine's AppID whose permissions carry the low mandatory label (its SID,
# S-1-16-4096, in binary).
engine='{85DD53AA-0FBC-40C2-94FF-CAC57CCF8452}'
policy_key="HKLM\\Software\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\$(grep -v '^{85DD' <<<"$patterns" | tail -n 1)"
[ "$(reg_value "$policy_key" AppName)" = tdm-engine.exe ] || fail "no elevation policy for the engine"
[ "$(reg_value "$policy_key" AppPath)" = "$folder" ] || fail "elevation policy path: $(reg_value "$policy_key" AppPath)"
[ "$(reg_value "$policy_key" Policy)" = 0x3 ] || fail "elevation policy is not 3"
[ "$(reg_value "$policy_key" CLSID)" = "$engine" ] || fail "elevation policy names another class"
[ "$(reg_value "HKCR\\CLSID\\$engine" AppID)" = "$engine" ] || fail "the engine's class has no AppID"
for permission in LaunchPermission AccessPermission; do
    reg_value "HKCR\\AppID\\$engine" "$permission" | grep -qi '010100000000001000100000' ||
        fail "$permission of the engine's AppID admits no low-integrity caller"
done
echo "registrations present (Protected Mode's included)"

# The classes as the browser creates them: by ProgID, without a site.
classes=(TolDownloadClient.TolDloadMr TolDownloadClient.TolBand TolDownloadClient.TolDownloadHelper
         TolDownloadClient.TolDownloadToolbar Tolvane.DownloadEngine)
"$TDM_TRIPLET-gcc" -municode -O2 -o "$stage/create_class.exe" "$root/tests/installer/create_class.c" -lole32 -luuid
wine 'C:\tdm-check\create_class.exe' "${classes[@]}" | tr -d '\r' || fail "not every class was created"

# Scripts: the classes without a band window, created by ProgID from JScript
# (the script engine sites what it creates; a band refuses a site that is not
# a browser's, so the two bands are left to the program above).
script=$stage/create.js
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
created=$(wine cscript //nologo 'C:\tdm-check\create.js' | tr -d '\r')
echo "$created"
[ "$(grep -c ': true$' <<<"$created")" = 3 ] || fail "a script could not create every class"
wineserver -w

# Downloads through the installed engine and its aria2c.exe, from the engine
# tests' loopback server (its TLS authority added to the prefix's roots); the
# engine stays up between the clients, as under a browser.
server_dir=$(mktemp -d /tmp/tdm-installer-XXXXXX)
unicode_name='%D0%B7%D0%B0%D0%B3%D1%80%D1%83%D0%B7%D0%BA%D0%B0.bin'
python3 "$root/tests/engine_server/http_test_server.py" "$server_dir/files" "$server_dir/port" 600 "$unicode_name=250000" &
trap 'python3 -c "import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=5)" "http://127.0.0.1:${http_port:-0}/quit" >/dev/null 2>&1 || true; rm -rf "$server_dir"' EXIT
# It makes its files and two certificates first: slow on a loaded machine.
for _ in $(seq 300); do [ -s "$server_dir/port" ] && break; sleep 0.2; done
# (The file has no line end: read answers 1 at its end, the ports read all the same.)
read -r http_port tls_port _ <"$server_dir/port" || true
[ -n "${tls_port:-}" ] || fail "the test server did not start"
cp "$server_dir/files/trusted.pem" "$stage/"
client() { wine 'C:\tdm-check\engine_client.exe' "$@" | tr -d '\r'; }
client trust 'C:\tdm-check\trusted.pem' || fail "cannot add the test authority to the prefix's roots"
wine reg add 'HKCU\Software\Tolvane\Engine' /v ExitDelay /t REG_DWORD /d 600000 /f >/dev/null
for url in "http://127.0.0.1:$http_port/file/data.bin" "https://127.0.0.1:$tls_port/file/small.bin" \
           "http://127.0.0.1:$http_port/file/$unicode_name"; do
    result=$(client add "$url" 'C:\downloads') || fail "download of $url: ${result:-no answer}"
    name=$(cut -f4 <<<"$result")
    served=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.unquote(sys.argv[1]))' "$(basename "$url")")
    [ "$name" = "$served" ] || fail "$url arrived as '$name'"
    cmp -s "$server_dir/files/$(basename "$url")" "$prefix/drive_c/downloads/$name" || fail "$name differs from the served file"
    echo "downloaded byte for byte: $url -> C:\\downloads\\$name"
done
[ -n "$(prefix_processes 'aria2c\.exe')" ] || fail "no aria2c.exe runs for the engine"
[ -z "$(prefix_processes '(^|/)aria2c( |$)')" ] || fail "the engine runs the Linux aria2c"

# Installing again over the running engine: it is ended first, the downloads
# and settings stay, the classes are still registered.
old_engine=$(prefix_processes 'tdm-engine\.exe')
[ -n "$old_engine" ] || fail "the engine does not run before the upgrade"
wine "$setup" /S || fail "the installer exited with $? over the running engine"
# The installer waited until the engine let go of its files; the process
# itself may take a moment more to end under Wine.
for pid in $old_engine; do
    for _ in $(seq 50); do [ -e "/proc/$pid" ] || break; sleep 0.2; done
    [ ! -e "/proc/$pid" ] || fail "the engine running before the upgrade still runs"
done
client has "http://127.0.0.1:$http_port/file/data.bin" >/dev/null || fail "the download did not survive the upgrade"
[ "$(reg_value 'HKCU\Software\Tolvane\Engine' ExitDelay)" = 0x927c0 ] || fail "the upgrade lost the engine's settings"
wine 'C:\tdm-check\create_class.exe' TolDownloadClient.TolBand Tolvane.DownloadEngine | tr -d '\r' ||
    fail "registration broken after the upgrade"
echo "upgrade over the running engine kept the downloads and settings"

# Uninstalling while the engine runs (the client above started it).
[ -n "$(prefix_processes 'tdm-engine\.exe')" ] || fail "the engine does not run before the uninstallation"
wine "$folder\\uninstall.exe" /S || fail "the uninstaller exited with $?"
wineserver -w
[ ! -e "$unix_folder" ] || fail "left on disk: $(ls -A "$unix_folder")"
[ -z "$(prefix_processes 'tdm-engine\.exe|aria2c')" ] || fail "still running after the uninstallation"

left=$(cat "$prefix/system.reg" "$prefix/user.reg" | grep -iF "$patterns" || true)
[ -z "$left" ] || fail "left in the registry:"$'\n'"$left"
new_keys=$(registry_keys | comm -13 "$out/wine/keys-before" - | grep -iv '\\\\Tolvane\\\\\(Download Manager\|Engine\)' || true)
# For the record: keys that exist now and did not before, none of them ours (the
# grep above): under Wine the script host's own registrations and the browser's
# parent keys (Explorer Bars, Toolbar, ...), which registration keeps and Windows has anyway.
echo "keys new since before the installation (the user's settings excluded):"
echo "${new_keys:-  none}"
echo "installer round trip passed"
