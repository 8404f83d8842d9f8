#!/usr/bin/env bash
# The performance benchmark, in one command (see bench/README.md):
#
#   bench/run.sh [--quick] [--keep] [--rounds N] [--rewrite-letters M]
#                [--only SCENARIO]... [--scratch DIR]
#
# Installs what is missing (Debian packages), builds the program and the
# benchmark tools in Release mode in build/bench, generates the spools in a
# scratch directory (default build/bench/scratch, which must be on the disk
# under test, not a tmpfs), times every scenario, prints the results and
# writes them to build/bench/results-full.md (or -quick.md). The scratch
# directory is removed at the end unless --keep is given; with --keep the
# generated master spools are reused by the next run.
#
# Exit status: 0 when every check passed and every bar was met.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench"

packages=(cmake ninja-build g++ dos2unix libbenchmark-dev)

"$root/scripts/install-packages.sh" "${packages[@]}"

mode=full
scratch="$build/scratch"
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) mode=quick; args+=("$1") ;;
    --scratch) scratch="$2"; shift ;;
    --scratch=*) scratch="${1#--scratch=}" ;;
    *) args+=("$1") ;;
  esac
  shift
done

echo "== building (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQELM_BUILD_TESTS=OFF -DQELM_BUILD_BENCH=ON >/dev/null
cmake --build "$build"

label="$(git -C "$root" log -1 --format='%h %s' 2>/dev/null || echo 'unknown commit')"
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no -- src 2>/dev/null)" ]; then
  label="$label (with local changes in src/)"
fi

echo "== benchmark ($mode), spools in $scratch"
mkdir -p "$scratch"
"$build/bench/bench-runner" --scratch "$scratch" --label "$label" \
  --results "$build/results-$mode.md" "${args[@]}"
