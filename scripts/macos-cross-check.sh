#!/usr/bin/env bash
# Builds the universal (arm64 + x86_64) macOS agents on Debian and checks them
# harder than a compile: both slices of each program, clang's static analyzer
# over every source of the build, and the installed Helpers layout.
#
# usage: scripts/macos-cross-check.sh SDK_DIR BUILD_DIR [KIT_DIR]
#   SDK_DIR   the macOS 14.2 SDK subset (MacOSX14.2.sdk); only read
#   BUILD_DIR where the build, the link stubs and BUILD_DIR/install go
#   KIT_DIR   the macOS cross kit (macos.toolchain.cmake, shim/, tools/);
#             default: shared/macos-cross beside this checkout
# Needs clang-14, lld-14 and llvm-14 (scripts/install-deps.sh cross). Exits
# non-zero on the first failing step; nothing it builds is run.
set -euo pipefail

usage="usage: $0 SDK_DIR BUILD_DIR [KIT_DIR]"
[ $# -ge 2 ] && [ $# -le 3 ] || { echo "$usage" >&2; exit 2; }
repo=$(cd "$(dirname "$0")/.." && pwd)
sdk=$(cd "$1" && pwd) || { echo "no SDK directory: $1" >&2; exit 2; }
mkdir -p "$2"
build=$(cd "$2" && pwd)
kit=${3:-$repo/../shared/macos-cross}
[ -f "$kit/macos.toolchain.cmake" ] || { echo "no macOS cross kit at $kit" >&2; exit 2; }
kit=$(cd "$kit" && pwd)
[ -f "$sdk/SDKSettings.json" ] || { echo "$sdk is not an SDK (no SDKSettings.json)" >&2; exit 2; }

"$repo/scripts/install-deps.sh" cross

# The clang driver joins the two slices of every object and program with a
# tool named `lipo`; the SDK subset has no libSystem or libc++ link stubs of
# its own, so they are synthesized here (never in SDK_DIR) from the objects'
# undefined C library, dispatch, Blocks and C++ runtime symbols.
tools="$build/cross-tools"
stubs="$tools/stubs"
mkdir -p "$tools/bin" "$stubs/usr/lib"
ln -sf "$(command -v llvm-lipo-14)" "$tools/bin/lipo"
export PATH="$tools/bin:$PATH"
unset LIBRARY_PATH CPATH

now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds_since() { local ms=$(($(now_ms) - $1)); printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100)); }
step_started=0
step() { step_started=$(now_ms); printf '== %s\n' "$1"; }
step_done() { echo "   $(seconds_since "$step_started") s"; }
all_started=$(now_ms)

step "configure (preset macos, universal cross toolchain)"
[ -f "$stubs/usr/lib/libSystem.tbd" ] || python3 "$kit/tools/mkstubs.py" "$stubs" >/dev/null
cmake --preset macos -S "$repo" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/macos-cross.toolchain.cmake" -DMACOS_CROSS_KIT="$kit" \
  -DMACOS_SDK_ROOT="$sdk" -DMACOS_LINK_STUBS="$stubs/usr/lib" \
  -DAGENTS_GTEST_SOURCE_DIR=/usr/src/googletest >"$build/configure.log" 2>&1 \
  || { tail -30 "$build/configure.log"; echo "configure failed (see $build/configure.log)"; exit 1; }
step_done

step "build"
if ! cmake --build "$build" -j 2 -- -k 0 >"$build/build.log" 2>&1; then
  # Compile errors are final; undefined C library or C++ runtime symbols are
  # what the stubs lack: synthesize them from both slices of every object.
  if grep -q ' error: ' "$build/build.log" && ! grep -q 'undefined symbol' "$build/build.log"; then
    grep -E 'error' "$build/build.log" | head -40; echo "build failed (see $build/build.log)"; exit 1
  fi
  thin="$tools/thin"
  rm -rf "$thin"; mkdir -p "$thin/arm64" "$thin/x86_64"
  n=0
  while IFS= read -r object; do
    n=$((n + 1))
    for arch in arm64 x86_64; do
      llvm-lipo-14 -thin "$arch" "$object" -output "$thin/$arch/$n.o"
    done
  done < <(find "$build" -path '*/CMakeFiles/*.dir/*' -name '*.o' -not -path "$build/tests/*")
  python3 "$kit/tools/mkstubs.py" "$stubs" "$thin"/*/*.o
  cmake --build "$build" -j 2 -- -k 0 >"$build/build.log" 2>&1 \
    || { grep -E 'error|undefined' "$build/build.log" | head -40; echo "build failed (see $build/build.log)"; exit 1; }
fi
step_done

step "both slices of each program"
status=0
for program in "$build/listener/hotword-agent.app/Contents/MacOS/hotword-agent" "$build/shortcut/keychord-agent"; do
  archs=$(llvm-lipo-14 -archs "$program" | tr ' ' '\n' | sort | xargs)
  description=$(file -b "$program")
  echo "   ${program#"$build"/}: $archs"
  if [ "$archs" != "arm64 x86_64" ] || ! llvm-lipo-14 "$program" -verify_arch arm64 x86_64 \
     || [[ "$description" != "Mach-O universal binary with 2 architectures"* ]] \
     || [ "$(grep -o 'Mach-O 64-bit [a-z0-9_]* executable' <<<"$description" | wc -l)" -ne 2 ]; then
    echo "   not a universal arm64 + x86_64 executable: $description"; status=1
  fi
done
[ $status -eq 0 ] || exit 1
step_done

step "static analyzer"
python3 "$repo/scripts/macos_analyze.py" "$build" "$repo" --jobs 2
step_done

step "install into $build/install and check the Helpers tree"
rm -rf "$build/install"
cmake --install "$build" --prefix "$build/install" >"$build/install.log" 2>&1 \
  || { cat "$build/install.log"; echo "install failed"; exit 1; }
python3 "$repo/tests/macos/check_installed_helpers.py" "$build/install"
step_done

echo "== macOS cross check passed in $(seconds_since "$all_started") s"
