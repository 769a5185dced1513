#!/usr/bin/env bash
# Loads the bundle in hosts nobody on the team wrote, under Wine:
#   - the VST 3 SDK's own validator, built for Windows from a complete SDK, with its
#     extended suite on both builds of the bundle (the one built on Debian's SDK sources and
#     the one built on the complete SDK, whose test suite runs too);
#   - pluginval at strictness level 10 on the default build;
#   - the SDK's own editor host on the default build, driven by editorhost_check, which
#     checks what its user would see and that no exception is raised inside the plug-in.
# Fails when any of them fails.
#   make validate VST3_SDK_ROOT=/path/to/vst3sdk PLUGINVAL_ROOT=/path/to/pluginval
set -euo pipefail
source "$(dirname "$0")/common.sh"

sdk="${1:-${VST3_SDK_ROOT:-}}"
pluginval="${2:-${PLUGINVAL_ROOT:-}}"
if [ -z "$sdk" ] || [ ! -f "$sdk/public.sdk/samples/vst-hosting/validator/source/validator.cpp" ] ||
   [ -z "$pluginval" ] || [ ! -x "$pluginval/check.sh" ]; then
  cat >&2 <<TXT
make validate needs the sources of a complete VST 3 SDK, with its validator and editor host
samples, and pluginval's sources with their build and check scripts:

  make validate VST3_SDK_ROOT=/path/to/vst3sdk PLUGINVAL_ROOT=/path/to/pluginval

(VST3_SDK_ROOT holds base/, pluginterfaces/ and public.sdk/, which Debian's copy of the
SDK lacks the samples of; PLUGINVAL_ROOT holds build.sh and check.sh.)
TXT
  [ -n "$sdk" ] && [ ! -f "$sdk/public.sdk/samples/vst-hosting/validator/source/validator.cpp" ] &&
    echo "There is no complete SDK at $sdk." >&2
  [ -n "$pluginval" ] && [ ! -x "$pluginval/check.sh" ] && echo "There is no pluginval at $pluginval." >&2
  exit 2
fi
sdk="$(cd "$sdk" && pwd)"
pluginval="$(cd "$pluginval" && pwd)"
SDK_BUILD_DIR="${SDK_BUILD_DIR:-$ROOT/build-sdk}"

prepare_windows_run
start_wineserver

step "Cross-building against the complete SDK at $sdk"
cmake -S "$ROOT" -B "$SDK_BUILD_DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DVST3_SDK_ROOT="$sdk" | grep "VST 3 SDK"
cmake --build "$SDK_BUILD_DIR"

step "Building the SDK's validator for Windows"
cmake -S "$ROOT/cmake/validator" -B "$BUILD_DIR/validator" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DVST3_SDK_ROOT="$sdk" >/dev/null
cmake --build "$BUILD_DIR/validator"

failed=0
validate() {
  local tag=$1 name=$2 bundle=$3 log="$BUILD_DIR/validator-$1.log" status=0
  step "Validator, extended suite, on the bundle built on $name"
  "$WINE" "$BUILD_DIR/validator/validator.exe" -e "$bundle" >"$log" 2>&1 || status=$?
  local summary
  summary="$(grep -a "Result:" "$log" | tail -n 1 | tr -d '\r')"
  echo "${summary:-no result line}   (exit status $status; full log: $log)"
  # The validator names each test in brackets on a line of its own and ends it with
  # [Succeeded] or [... Failed]: name the failed ones.
  awk '/^\[.*Failed\]/ { print "  failed: " test; next } /^\[Succeeded\]/ { next } /^\[/ { test = $0 }' "$log" | tr -d '\r'
  if [ "$status" -ne 0 ] || ! printf '%s' "$summary" | grep -q " 0 tests failed"; then
    failed=1
  fi
}
validate debian-sdk "Debian's SDK sources" "$BUNDLE"
validate complete-sdk "the complete SDK" "$SDK_BUILD_DIR/TarvoAudioServerPrototype.vst3"

step "The Windows test suite of the build on the complete SDK"
(cd "$SDK_BUILD_DIR" && ctest --output-on-failure) || failed=1

# pluginval runs on a display and in a Wine prefix of its own, which its check script
# starts and stops; ours stops first, so the two never meet.
"$WINESERVER" -k >/dev/null 2>&1 || true
pv_exe="$BUILD_DIR/pluginval/pluginval.exe"
if [ ! -f "$pv_exe" ]; then
  step "Building pluginval for Windows (once; about 3 minutes on two cores, up to 10 on slower ones)"
  "$pluginval/build.sh" "$BUILD_DIR/pluginval" >"$BUILD_DIR/pluginval-build.log" 2>&1 ||
    { tail -n 20 "$BUILD_DIR/pluginval-build.log"; echo "pluginval did not build" >&2; exit 1; }
fi
step "pluginval, strictness level 10, on the bundle built on Debian's SDK sources"
pv_status=0
PLUGINVAL_EXE="$pv_exe" "$pluginval/check.sh" "$BUNDLE" 10 "$BUILD_DIR/pluginval-run" >"$BUILD_DIR/pluginval.log" 2>&1 ||
  pv_status=$?
awk '/^----- summary/ { on = 1; next } on' "$BUILD_DIR/pluginval.log"
echo "(full log: $BUILD_DIR/pluginval.log, pluginval's own output in $BUILD_DIR/pluginval-run)"
[ "$pv_status" -eq 0 ] || failed=1

step "Building the SDK's editor host and our driver for it"
cmake -S "$ROOT/cmake/editorhost" -B "$BUILD_DIR/editorhost" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DVST3_SDK_ROOT="$sdk" >/dev/null
cmake --build "$BUILD_DIR/editorhost"
step "The SDK's editor host on the bundle built on Debian's SDK sources"
start_wineserver
"$WINE" "$BUILD_DIR/editorhost/editorhost_check.exe" "$BUILD_DIR/editorhost/editorhost.exe" "$BUNDLE" || failed=1

if [ "$failed" -ne 0 ]; then
  echo "make validate: FAILED" >&2
  exit 1
fi
echo "make validate: the validator passed on both builds, the complete-SDK build passed its tests, pluginval passed at level 10 and the editor host showed the panel as it should"
