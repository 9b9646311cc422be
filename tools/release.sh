#!/usr/bin/env bash
# Builds the release: tdm.dll, tdm-engine.exe and the help files, optimised and
# stripped (no debug information), with the Windows aria2c.exe
# (tools/build_aria2.sh, cached), in build-release/dist/, and the Windows
# installer build-release/tdm-setup.exe made by NSIS. Name and publisher of the
# installer come from the module's version resource, the version from
# resources/version.h.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
out=${TDM_RELEASE_DIR:-$root/build-release}
bash "$root/tools/setup.sh" >/dev/null

if [ ! -f "$out/build.ninja" ]; then
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$root" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$TDM_ARCH.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTDM_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
fi
CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true cmake --build "$out" --target tdm tdm_engine tdm_help

dist=$out/dist
rm -rf "$dist"
mkdir -p "$dist"
for file in tdm.dll tdm-engine.exe; do
    "$TDM_TRIPLET-strip" --strip-all -o "$dist/$file" "$out/$file"
    if "$TDM_TRIPLET-objdump" -h "$dist/$file" | grep -q '\.debug'; then
        echo "release: $file still carries debug sections" >&2
        exit 1
    fi
done
cp "$out/tdm1033.chm" "$out/tdm1049.chm" "$dist/"

# The transfer program: only system DLLs, and none of the features left out.
aria2=$(bash "$root/tools/build_aria2.sh" | tail -n 1)
cp "$aria2" "$dist/aria2c.exe"
bash "$root/tools/check_module.sh" --exe "$dist/aria2c.exe" "$TDM_ARCH"
aria2_prefix=${TDM_ARIA2_PREFIX:-$out/wine/aria2}
mkdir -p "$(dirname "$aria2_prefix")"  # Wine makes the prefix, not the folders above it
features=$(WINEPREFIX=$aria2_prefix WINEARCH=$TDM_WINEARCH WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine "$dist/aria2c.exe" --version 2>/dev/null |
           tr -d '\r' | sed -n 's/^Enabled Features: //p' || true)
[ -n "$features" ] || { echo "release: aria2c.exe --version names no features" >&2; exit 1; }
if grep -qiE 'bittorrent|metalink' <<<"$features"; then
    echo "release: aria2c.exe has features it must not have: $features" >&2
    exit 1
fi
echo "aria2c.exe features: $features"

# One value of the StringFileInfo block of the module's resources.
version_value() {
    sed -n "s/^[[:space:]]*VALUE \"$1\", \"\\(.*\\)\"[[:space:]]*\$/\\1/p" "${2:-$root/resources/tdm.rc}" | head -n 1
}
product=$(version_value ProductName)
publisher=$(version_value CompanyName)
version=$(sed -n 's/^#define TDM_VERSION_TEXT "\(.*\)"$/\1/p' "$root/resources/version.h")
copyright=$(version_value LegalCopyright)
if [ -z "$product" ] || [ -z "$publisher" ] || ! [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "release: cannot read name, publisher and version from resources/tdm.rc" >&2
    exit 1
fi

setup=$out/tdm-setup.exe
nsis_target=()
[ "$TDM_ARCH" = x86_64 ] && nsis_target=(-DWIN64)
makensis "${nsis_target[@]}" -V2 -INPUTCHARSET UTF8 -DPRODUCT_NAME="$product" -DPUBLISHER="$publisher" -DCOPYRIGHT="$copyright" -DVERSION="$version" \
    -DDIST="$dist" -DOUTFILE="$setup" "$root/installer/tdm.nsi"

echo "release $version of $product ($publisher):"
for file in "$dist"/* "$setup"; do
    printf '  %-16s %9d bytes\n' "$(basename "$file")" "$(stat -c %s "$file")"
done
