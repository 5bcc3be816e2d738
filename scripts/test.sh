#!/usr/bin/env bash
# Builds everything and runs every test: the release build with the
# end-to-end tests, then the unit and process tests under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer; then each libFuzzer
# target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test fuzz

jobs=$(nproc)
for preset in default asan tsan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = default ]; then
    ctest --preset "$preset" -j "$jobs"
  else
    # Sanitizer builds skip the tests against real desktop and audio services,
    # but for the SIGTERM storm (label storm), which starts its own private
    # PulseAudio server.
    ctest --preset "$preset" -j "$jobs" -LE e2e
  fi
done

echo "== fuzz"
scripts/fuzz.sh 30
