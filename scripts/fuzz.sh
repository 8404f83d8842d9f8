#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a while (default 60 seconds,
# or the number given), starting from the seed corpus in fuzz/corpus/<name>.
# New inputs go to a scratch corpus; a crash leaves its input in build/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

failures=0
targets=(fuzz/corpus/*/)
for seeds in "${targets[@]}"; do
  name=$(basename "$seeds")
  scratch=$(mktemp -d)
  echo "== fuzz $name for ${seconds}s"
  if (cd build/fuzz && "fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=1048576 -print_final_stats=1 "$scratch" "../../$seeds" 2>&1 | tail -n 12); then
    echo "fuzz $name: no failure"
  else
    echo "fuzz $name: FAILED"
    failures=$((failures + 1))
  fi
  rm -rf "$scratch"
done
echo "fuzz: $((${#targets[@]} - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
