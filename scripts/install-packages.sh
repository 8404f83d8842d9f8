#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed yet
# (as root, or through sudo).
set -euo pipefail

missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "== installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
