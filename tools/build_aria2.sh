#!/usr/bin/env bash
# Builds the Windows aria2c.exe that ships beside tdm-engine.exe: Debian's aria2
# source package, cross-compiled with MinGW-w64 for the Windows the build targets
# (tools/arch.sh: i686, or x86_64 where the machine runs no 32-bit code), Windows' own TLS
# (SChannel), aria2's internal digests and big numbers, MinGW zlib, statically
# linked and stripped; no BitTorrent, no Metalink, no other libraries. Our
# patches (tools/aria2_*.patch, listed below) are applied to the source first: a
# name a server gives becomes one Windows holds as it is (no device such as CON,
# no trailing dot), so aria2 writes and reports the same file.
#
# The build lives outside the checkout, in a cache keyed by the source package's
# checksums and the build flags, so a machine builds it once. Prints the path of
# the finished aria2c.exe on its last line. Run as root on Debian 12 (it adds a
# deb-src entry and installs the MinGW zlib when missing).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tools/arch.sh"
host=$TDM_TRIPLET

cache=${TDM_ARIA2_CACHE:-/var/cache/tolvane/aria2}
package=aria2

log() { echo "build_aria2: $*" >&2; }
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Source entries: apt only fetches source packages from deb-src entries.
sources_file=/etc/apt/sources.list.d/tolvane-src.sources
if ! apt-get source --print-uris "$package" >/dev/null 2>&1; then
    if ! grep -rqs 'deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        log "adding Debian source entries ($sources_file)"
        cat >"$sources_file" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
    apt-get update -qq
fi
need=()
pkgarch=${TDM_ARCH//_/-}
for p in dpkg-dev patch g++-mingw-w64-$pkgarch-posix binutils-mingw-w64-$pkgarch libz-mingw-w64-dev make pkg-config; do
    have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# The build's identity: the source package's files with their checksums, our
# patches, the configure line, the compiler flags and the compiler itself.
patches=("$root/tools/aria2_windows_names.patch")
uris=$(apt-get source --print-uris -qq "$package" | grep "^'" | sort)
if [ -z "$uris" ]; then
    log "apt knows no source package $package"
    exit 1
fi
cc=$host-gcc-posix
cxx=$host-g++-posix
configure_args=(--host=$host --with-wintls
    --without-gnutls --without-openssl --without-libnettle --without-libgcrypt --without-libgmp
    --without-libxml2 --without-libexpat --without-sqlite3 --without-libcares --without-libssh2
    --with-libz --disable-bittorrent --disable-metalink --disable-nls --disable-shared ARIA2_STATIC=yes)
# GCC 12: WinTLSSession.h uses std::array without including <array>.
cxxflags="-O2 -include array"
cflags="-O2"
key=$( { echo "$uris"; cat "${patches[@]}"; echo "${configure_args[*]}"; echo "$cflags|$cxxflags"; "$cxx" --version | head -n 1; } \
       | sha256sum | cut -c1-16)
dir=$cache/$key
exe=$dir/aria2c.exe

mkdir -p "$dir"
# Builds of other checkouts on the machine wait for this one (and then find it
# cached) rather than build in the same folder.
exec 9>"$dir/lock"
flock 9
if [ -f "$exe" ]; then
    log "cached $exe"
    echo "$exe"
    exit 0
fi

start=$(date +%s)
work=$dir/work
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-*" 2>/dev/null | head -n 1 || true)
if [ -n "$src" ] && [ -f "$work/configured" ]; then
    # An earlier build of the same key was cut off while compiling: make
    # carries on (an object whose compilation was cut off has no .lo yet).
    log "resuming the build in ${src#"$work"/}"
else
    rm -rf "$work"
    mkdir -p "$work"
    log "fetching the $package source package"
    (cd "$work" && apt-get source -qq "$package" >/dev/null)
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
    if [ -z "$src" ]; then
        log "no unpacked source in $work"
        exit 1
    fi
    for p in "${patches[@]}"; do
        log "applying ${p#"$root"/}"
        patch -d "$src" -p1 --quiet --forward <"$p" || exit 1
    done
    log "configuring ${src#"$work"/}"
    (cd "$src" && ./configure "${configure_args[@]}" CC="$cc" CXX="$cxx" \
        CFLAGS="$cflags" CXXFLAGS="$cxxflags" \
        PKG_CONFIG_LIBDIR=/usr/$host/lib/pkgconfig PKG_CONFIG_PATH= \
        >"$work/configure.log" 2>&1) || { tail -n 30 "$work/configure.log" >&2; exit 1; }
    touch "$work/configured"
fi
# As many jobs as ninja takes by default: the machine's other builds take as many.
log "compiling (many minutes)"
(cd "$src" && make -j"$(( $(nproc) + 2 ))" >>"$work/make.log" 2>&1) || { tail -n 30 "$work/make.log" >&2; exit 1; }
$host-strip --strip-all -o "$dir/aria2c.exe.tmp" "$src/src/aria2c.exe"
mv "$dir/aria2c.exe.tmp" "$exe"
rm -rf "$work"
log "built $exe in $(( $(date +%s) - start )) s"
echo "$exe"
