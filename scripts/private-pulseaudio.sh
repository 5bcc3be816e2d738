#!/usr/bin/env bash
# A private, headless PulseAudio server with a virtual microphone, for the
# end-to-end tests, the demo and the benchmark. Everything lives in one
# directory; nothing touches the user's own sound server.
#
#   private-pulseaudio.sh start DIR        starts the server, prints its pid
#   private-pulseaudio.sh stop DIR         stops it (by the pid it recorded)
#   private-pulseaudio.sh env DIR          prints the client environment
#   private-pulseaudio.sh say DIR VOICE STRETCH TEXT...
#                                          speaks TEXT into the microphone with a
#                                          flite voice (STRETCH > 1 is slower),
#                                          over a faint noise floor; returns
#                                          when the audio has been played
#   private-pulseaudio.sh synth DIR VOICE STRETCH OUT.wav TEXT...
#                                          only writes the audio to OUT.wav
#   private-pulseaudio.sh scene DIR LEAD CONDITION VOICE STRETCH OUT.wav TEXT...
#                                          writes LEAD seconds of a quiet room
#                                          (pink noise at about -70 dBFS), then
#                                          TEXT at about -30 dBFS in CONDITION:
#                                          clean, hiss (a white-noise floor at
#                                          about -60 dBFS instead), reverb, or
#                                          pink10/pink20 (pink noise at 10/20 dB
#                                          below the speech throughout)
#   private-pulseaudio.sh play DIR FILE.wav plays a file into the microphone
#
# The microphone is the monitor of a 16 kHz mono null sink: whatever is
# played into the sink is what the default source captures.
set -euo pipefail

command=${1:?usage: $0 start|stop|env|say|synth DIR ...}
dir=${2:?missing directory}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

client_env() {
  echo "PULSE_SERVER=unix:$dir/native"
  echo "HOME=$dir/home"
  echo "XDG_RUNTIME_DIR=$dir/run"
}

synth() {
  local voice=$1 stretch=$2 out=$3
  shift 3
  local raw="$dir/raw-$$.wav" speech="$dir/speech-$$.wav" noise="$dir/noise-$$.wav"
  flite -voice "$voice" --setf duration_stretch="$stretch" -t "$*" -o "$raw"
  # 16 kHz mono, 0.7 s lead-in and 1 s tail, over a faint white-noise floor:
  # a real microphone is never digitally silent, and the decoder's voice
  # activity detection and noise estimate expect that.
  sox "$raw" -r 16000 -c 1 -b 16 "$speech" pad 0.7 1.0
  sox -n -r 16000 -c 1 -b 16 "$noise" synth "$(soxi -D "$speech")" whitenoise vol 0.002
  sox -m "$speech" "$noise" -b 16 "$out"
  rm -f "$raw" "$speech" "$noise"
}

# A room: the speech after a stretch of quiet room noise, with reverberation or
# louder background noise.
scene() {
  local lead=$1 condition=$2 voice=$3 stretch=$4 out=$5
  shift 5
  local raw="$dir/raw-$$.wav" speech="$dir/speech-$$.wav" noise="$dir/noise-$$.wav"
  flite -voice "$voice" --setf duration_stretch="$stretch" -t "$*" -o "$raw"
  # Speech at about -30 dBFS RMS (flite speaks at about -20), the lead-in before it.
  local effect=()
  [ "$condition" = reverb ] && effect=(reverb 70 50 80 100 10)
  # -R: the same noise and dither on every run.
  sox -R "$raw" -r 16000 -c 1 -b 16 "$speech" vol 0.3 pad "$lead" 1.0 "${effect[@]}"
  local floor=0.003 kind=pinknoise
  case "$condition" in
    pink20) floor=0.03 ;;
    pink10) floor=0.095 ;;
    hiss) floor=0.002 kind=whitenoise ;;
  esac
  sox -R -n -r 16000 -c 1 -b 16 "$noise" synth "$(soxi -D "$speech")" "$kind" vol "$floor"
  sox -R -m "$speech" "$noise" -b 16 "$out"
  rm -f "$raw" "$speech" "$noise"
}

case "$command" in
  start)
    mkdir -p "$dir/home" "$dir/run"
    chmod 700 "$dir/run"
    cat > "$dir/server.pa" <<CONFIG
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-null-sink sink_name=virtual_speaker rate=16000 channels=1 format=s16le sink_properties=device.description=virtual-speaker
set-default-sink virtual_speaker
set-default-source virtual_speaker.monitor
CONFIG
    env -i PATH="$PATH" HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" \
      pulseaudio -n -F "$dir/server.pa" --daemonize=yes --exit-idle-time=-1 --disable-shm=yes \
      --use-pid-file=yes --system=no --log-target=file:"$dir/pulseaudio.log"
    pid=$(cat "$dir/run/pulse/pid")
    echo "$pid" > "$dir/server.pid"
    # Ready when a client gets an answer.
    for _ in $(seq 100); do
      env -i PATH="$PATH" $(client_env) pactl info >/dev/null 2>&1 && { echo "$pid"; exit 0; }
      sleep 0.05
    done
    echo "the private PulseAudio server did not answer" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
    ;;
  stop)
    [ -f "$dir/server.pid" ] || exit 0
    pid=$(cat "$dir/server.pid")
    if kill "$pid" 2>/dev/null; then
      for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/server.pid"
    ;;
  env)
    client_env
    ;;
  synth)
    synth "${3:?voice}" "${4:?stretch}" "${5:?output}" "${@:6}"
    ;;
  scene)
    scene "${3:?lead-in seconds}" "${4:?condition}" "${5:?voice}" "${6:?stretch}" "${7:?output}" "${@:8}"
    ;;
  play)
    env $(client_env) paplay "${3:?file}"
    ;;
  say)
    wav="$dir/say-$$.wav"
    synth "${3:?voice}" "${4:?stretch}" "$wav" "${@:5}"
    env $(client_env) paplay "$wav"
    rm -f "$wav"
    ;;
  *)
    echo "unknown command: $command" >&2
    exit 2
    ;;
esac
