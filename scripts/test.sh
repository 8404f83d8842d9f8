#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), builds the
# program in every configuration and runs the whole test suite:
#   ci      optimised build, warnings as errors
#   asan    the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   windows qelm-spool-corrector.exe, cross-built with mingw-w64 and tested
#           under Wine (a Wine prefix of its own in build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev g++-mingw-w64-x86-64 wine64)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "== installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

for preset in ci asan windows; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
