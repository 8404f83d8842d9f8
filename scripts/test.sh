#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), builds the
# program in every configuration and runs the whole test suite:
#   ci      optimised build, warnings as errors
#   asan    the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   windows qelm-spool-corrector.exe, cross-built with mingw-w64 and tested
#           under Wine (a Wine prefix of its own in build/windows)
#   fuzz    each libFuzzer target for a minute (scripts/fuzz.sh)
#   the .deb, installed into a scratch root and checked (scripts/check-package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev dpkg-dev man-db systemd clang libclang-rt-14-dev
          g++-mingw-w64-x86-64 wine64 googletest unzip)

scripts/install-packages.sh "${packages[@]}"

for preset in ci asan windows; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "== fuzz"
scripts/fuzz.sh 60

echo "== package"
scripts/check-package.sh
