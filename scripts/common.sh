# Shared by the scripts: paths, the Wine environment and the two builds.
# shellcheck shell=bash
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
NATIVE_BUILD_DIR="${NATIVE_BUILD_DIR:-$ROOT/build-native}"
BUNDLE="$BUILD_DIR/TarvoAudioServerPrototype.vst3"

export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE="$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)"
export WINE

step() { printf '\n==> %s\n' "$*"; }

install_deps() {
  "$ROOT/scripts/install-deps.sh"
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

host_exe() { "$WINE" "$BUILD_DIR/tools/tarvo-host.exe" "$@"; }
probe_exe() { "$WINE" "$BUILD_DIR/tools/tarvo-probe.exe" "$@"; }
