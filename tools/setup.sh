#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
# Run as root on Debian 12. Safe to run again.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi

# The x86_64 cross compiler serves machines that run no 32-bit code (tools/arch.sh).
for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-tools \
         wine wine32:i386 wine64 libwine-dev \
         xvfb imagemagick cmake ninja-build libgtest-dev clang libclang-rt-14-dev \
         file binutils-mingw-w64-i686 python3 locales fonts-wine python3-pil fonts-dejavu-core aria2 \
         openssl ca-certificates \
         nlohmann-json3-dev fp-utils nsis; do
    have "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ]; then
    echo "setup: installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
# Locales the tests run Wine in (Wine takes its user locale and ANSI code page
# from the Unix locale): English, German (comma as decimal separator), Russian
# (code page 1251 for the Russian interface texts).
for loc in en_US de_DE ru_RU; do
    if ! locale -a 2>/dev/null | grep -qi "^${loc}\.utf-\?8$"; then
        localedef -i "$loc" -f UTF-8 "$loc.UTF-8"
    fi
done
echo "setup: packages and locales present"
