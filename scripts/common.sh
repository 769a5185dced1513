# Shared by the scripts: paths, the Wine environment and the two builds.
# shellcheck shell=bash
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
NATIVE_BUILD_DIR="${NATIVE_BUILD_DIR:-$ROOT/build-native}"
BUNDLE="$BUILD_DIR/TarvoAudioServerPrototype.vst3"

export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko prompts; and no Wine debugger: a program that crashes ends at once with
# the fault printed, instead of leaving a waiting debugger to hold the run until its time-out.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winedbg.exe=d}"
WINE="$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)"
WINESERVER="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
export WINE

XVFB_PID=""
HOST_PID=""
OWN_WINESERVER=""
cleanup() {
  if [ -n "$HOST_PID" ]; then kill "$HOST_PID" 2>/dev/null || true; fi
  # Wine's desktop process lives on the display we started: it goes before the display does.
  if [ -n "$OWN_WINESERVER" ] || [ -n "$XVFB_PID" ]; then
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
  fi
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT

# A virtual display on a free number; DISPLAY names it, and the cleanup stops it.
start_xvfb() {
  local n
  for n in $(seq 90 150); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do
    if [ -e "/tmp/.X11-unix/X$n" ]; then break; fi
    sleep 0.1
  done
}

# Windows need a display. Every Wine process of the run shares one: Wine's desktop
# process, started by the first of them, keeps the display it was started with.
start_display() {
  if [ -n "${DISPLAY:-}" ]; then return; fi
  start_xvfb
  "$WINESERVER" -k >/dev/null 2>&1 || true
}

# One wineserver for the rest of the script: without it each Wine program starts its own,
# and one that starts just as the previous one's is exiting can fail to reach it. Its
# output goes nowhere, so that CTest does not wait for it; the script stops it at the end.
start_wineserver() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
  "$WINESERVER" -p </dev/null >/dev/null 2>&1 &
  OWN_WINESERVER=1
  "$WINE" cmd /c exit >/dev/null 2>&1 || true
}

# Each step says how far into the run it starts.
step() { printf '\n==> [%dm%02ds] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

install_deps() {
  "$ROOT/scripts/install-deps.sh" "$@"
}

# The first Wine start creates the prefix; do it once, quietly, before anything is timed.
prepare_wine() {
  if [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
    step "Creating the Wine prefix (first run only)"
  fi
  "$WINE" cmd /c exit >/dev/null 2>&1 || true
}

build_windows() {
  step "Cross-building for Windows x86-64 (MinGW-w64)"
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$BUILD_DIR"
}

build_native() {
  step "Building the portable core natively"
  cmake -S "$ROOT" -B "$NATIVE_BUILD_DIR" -G Ninja >/dev/null
  cmake --build "$NATIVE_BUILD_DIR"
}

# The portable core natively under a sanitizer: address (with undefined behaviour) or thread.
build_sanitized() {
  local kind=$1
  step "Building the portable core natively with the $kind sanitizer"
  cmake -S "$ROOT" -B "$ROOT/build-$kind" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_SANITIZE="$kind" >/dev/null
  cmake --build "$ROOT/build-$kind" --target core_tests
}

build_fuzzers() {
  step "Building the fuzz targets (clang, libFuzzer)"
  cmake -S "$ROOT" -B "$ROOT/build-fuzz" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DTARVO_FUZZ=ON >/dev/null
  cmake --build "$ROOT/build-fuzz"
}

# What every Windows run needs first: packages, a display, a Wine prefix, the build.
prepare_windows_run() {
  install_deps
  start_display
  prepare_wine
  build_windows
}

host_exe() { "$WINE" "$BUILD_DIR/tools/tarvo-host.exe" "$@"; }
probe_exe() { "$WINE" "$BUILD_DIR/tools/tarvo-probe.exe" "$@"; }
