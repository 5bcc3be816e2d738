#!/usr/bin/env bash
# The main job: builds the agents and shows hotword-agent at work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target hotword-agent keychord-agent 2>/dev/null \
  || cmake --build --preset default -j "$(nproc)" --target hotword-agent
agent=build/default/listener/hotword-agent
for phrase in "Hey, Orvane!" "hey there orvane"; do
  printf '$ hotword-agent --test-phrase "%s"\n' "$phrase"
  "$agent" --test-phrase "$phrase"
done
