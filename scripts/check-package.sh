#!/usr/bin/env bash
# Builds the .deb from the release preset, installs it into a scratch root and
# checks what an administrator gets: the program runs, the manual page renders
# without warnings, and the systemd units pass systemd-analyze verify.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release
(cd build/release && cpack -G DEB >/dev/null)
deb=$(ls build/release/qelm-spool-corrector_*.deb)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"

failures=0
check() {  # check NAME COMMAND...: runs the command, reports the outcome
  local name=$1; shift
  if "$@"; then echo "package: $name: ok"; else echo "package: $name: FAILED"; failures=$((failures + 1)); fi
}

# The installed program corrects a letter. It reads /etc/qelm.INI, so it runs
# in a mount namespace of its own where /etc is a scratch directory: the
# host's qelm.INI and spool are never touched. Without the rights for that,
# it runs with standard output closed, which ends the run at the banner,
# before any INI file is read.
run_installed() {
  local scratch out
  scratch=$(mktemp -d -p "$root")
  mkdir -p "$scratch/etc" "$scratch/spool/Users/user"
  printf '[Server]\r\nSpool Path=%s/spool/\r\n' "$scratch" > "$scratch/etc/qelm.INI"
  printf 'Hello\n' > "$scratch/spool/Users/user/letter"
  if out=$(unshare --mount sh -c "mount --bind '$scratch/etc' /etc && exec '$root/usr/bin/qelm-spool-corrector'" 2>&1); then
    grep -q 'Files corrected: 1' <<<"$out" &&
      [ "$(od -An -c "$scratch/spool/Users/user/letter" | tr -d ' \n')" = 'Hello\r\n\r\n\r\n.\r\n\r\n' ]
  else
    out=$("$root/usr/bin/qelm-spool-corrector" 2>&1 >&-)
    grep -q 'I/O error 105' <<<"$out"
  fi
}
check "installed program runs" run_installed

check "manual page renders without warnings" \
  bash -c "[ -z \"\$(man -l --warnings -E UTF-8 '$root/usr/share/man/man1/qelm-spool-corrector.1' 2>&1 >/dev/null)\" ]"

verify_units() {
  local out
  # The units are checked inside the scratch root, which needs the system's
  # own targets beside them.
  cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
  out=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no --root="$root" \
        "$root/usr/lib/systemd/system/qelm-spool-corrector.timer" \
        "$root/usr/lib/systemd/system/qelm-spool-corrector.service" 2>&1) || { echo "$out"; return 1; }
  [ -z "$out" ] || { echo "$out"; return 1; }
}
check "systemd units verify" verify_units

# The Windows .zip: the program, its documents and the scheduling script in
# one folder (built when the windows preset has been built).
checks=3
if [ -f build/windows/CMakeCache.txt ]; then
  checks=4
  zip_holds_program() {
    (cd build/windows && rm -f qelm-spool-corrector-*.zip && cpack -G ZIP >/dev/null) || return 1
    local listing
    listing=$(unzip -Z1 build/windows/qelm-spool-corrector-*.zip) || return 1
    for file in qelm-spool-corrector.exe README.md schedule.cmd qelm.INI.example; do
      grep -q "/$file\$" <<<"$listing" || { echo "missing from the zip: $file"; return 1; }
    done
  }
  check "Windows zip holds the program and its documents" zip_holds_program
fi

echo "package: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
