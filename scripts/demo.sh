#!/usr/bin/env bash
# The main job: builds hotword-agent and shows it waking on speech. A private,
# headless PulseAudio server provides a virtual microphone; flite speaks
# "Hey Orvane" into it; the agent's lines are shown as they come, ending in
# "wake"; then the agent gets SIGTERM and the server is stopped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target hotword-agent >/dev/null
agent=build/default/listener/hotword-agent
pulse=scripts/private-pulseaudio.sh

for phrase in "Hey, Orvane!" "hey there orvane"; do
  printf '$ hotword-agent --test-phrase "%s"\n' "$phrase"
  "$agent" --test-phrase "$phrase"
done

work=$(mktemp -d)
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
  "$pulse" stop "$work" || true
  rm -rf "$work"
}
trap cleanup EXIT

server_pid=$("$pulse" start "$work")
echo "# private PulseAudio server (pid $server_pid) with a virtual microphone"
mkfifo "$work/lines"
echo '$ hotword-agent --locale en-US'
env -i $("$pulse" env "$work") "$agent" --locale en-US >"$work/lines" &
agent_pid=$!
exec 3<"$work/lines"

# Shows the agent's lines until one equals $1 (or the timeout in seconds).
show_until() {
  local line
  while IFS= read -r -t "$2" line <&3; do
    echo "$line"
    [ "$line" = "$1" ] && return 0
  done
  echo "# no \"$1\" line from the agent" >&2
  return 1
}

show_until "status:listening:en-US" 30
echo '# flite says "Hey Orvane" into the microphone'
"$pulse" say "$work" slt 1.0 "Hey Orvane" &
show_until "wake" 30
wait $!
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
echo "# SIGTERM: hotword-agent exited with status $status"
