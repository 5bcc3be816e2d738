#!/usr/bin/env bash
# Runs each libFuzzer target for the given number of seconds (default 60).
# Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target matcher_fuzz line_fuzz
for target in matcher_fuzz line_fuzz; do
  echo "== $target for ${seconds}s"
  corpus=$(mktemp -d)
  build/fuzz/fuzz/$target -max_total_time="$seconds" -max_len=4096 "$corpus" 2>&1 | tail -n 3
  rm -rf "$corpus"
done
