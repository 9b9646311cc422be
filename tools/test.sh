#!/usr/bin/env bash
# Sets up the machine (packages, only when missing), builds everything and runs
# every test: the Wine test programs through ctest, the native sanitizer tests of
# the text parsers, their fuzz targets, the live demo in its checking mode (real
# downloads through the real engine) and the installer's round trip under Wine
# (tools/check_installer.sh). Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
. "$root/tools/arch.sh"
bash "$root/tools/build.sh"
(cd "${TDM_BUILD_DIR:-$root/build}" && ctest --output-on-failure -j2)
if [ -x "$root/tools/run_native_tests.sh" ]; then
    bash "$root/tools/run_native_tests.sh"
fi
if [ -x "$root/tools/run_fuzz.sh" ]; then
    bash "$root/tools/run_fuzz.sh"
fi
bash "$root/tools/demo.sh" --check
bash "$root/tools/check_installer.sh"
echo "all tests passed"
