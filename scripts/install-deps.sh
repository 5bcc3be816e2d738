#!/usr/bin/env bash
# Installs the Debian packages a task needs, only those that are missing.
# Usage: scripts/install-deps.sh [build|test|demo|bench|model|fuzz|cross]...
set -euo pipefail

build=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libicu-dev
       libglib2.0-dev libpocketsphinx-dev pocketsphinx-en-us libpulse-dev libspeexdsp-dev libatspi2.0-dev libx11-dev
       libgtk-3-dev)
# Services and tools the end-to-end tests and the demo start.
services=(pulseaudio pulseaudio-utils flite sox xvfb x11-utils openbox dbus-x11 at-spi2-core procps python3
          fonts-dejavu-core)
# The speech benchmark corpus (bench/speech_corpus.py): more synthesizers and voices.
bench=(python3-numpy festival festvox-kallpc16k festvox-us-slt-hts espeak-ng)
# Training the wake-phrase model (listener/platform/linux/speech/phrase_model):
# PyTorch and one more festival voice.
model=(python3-torch festvox-kdlpc16k)
fuzz=(clang-14 libclang-rt-14-dev)
# Compiling and linking the macOS configuration on Linux: clang-14 with
# ld64.lld-14 and the LLVM tools (lipo, libtool, nm); python3, git and file for
# preparing the SDK subset and inspecting the Mach-O results; the GoogleTest
# sources, whose headers the mac matcher table test compiles against.
cross=(clang-14 lld-14 llvm-14 python3 git file googletest)

wanted=()
[ $# -eq 0 ] && set -- build
for task in "$@"; do
  case "$task" in
    build) wanted+=("${build[@]}") ;;
    test|demo) wanted+=("${build[@]}" "${services[@]}") ;;
    bench) wanted+=("${build[@]}" "${services[@]}" "${bench[@]}") ;;
    model) wanted+=("${services[@]}" "${bench[@]}" "${model[@]}") ;;
    fuzz) wanted+=("${build[@]}" "${fuzz[@]}") ;;
    cross) wanted+=("${build[@]}" "${cross[@]}") ;;
    *) echo "unknown task: $task" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
