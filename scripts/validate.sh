#!/usr/bin/env bash
# Runs the VST 3 SDK's own validator, built for Windows from a complete SDK, with its
# extended suite on both builds of the bundle: the one built on Debian's SDK sources and
# the one built on the complete SDK (whose test suite runs too). Fails when any validator
# test or any test of that build fails.
#   make validate VST3_SDK_ROOT=/path/to/vst3sdk
set -euo pipefail
source "$(dirname "$0")/common.sh"

sdk="${1:-${VST3_SDK_ROOT:-}}"
if [ -z "$sdk" ] || [ ! -f "$sdk/public.sdk/samples/vst-hosting/validator/source/validator.cpp" ]; then
  cat >&2 <<TXT
make validate needs the sources of a complete VST 3 SDK, with its validator sample:

  make validate VST3_SDK_ROOT=/path/to/vst3sdk

(the folder that holds base/, pluginterfaces/ and public.sdk/; Debian's copy of the SDK
lacks the validator).${sdk:+ There is none at $sdk.}
TXT
  exit 2
fi
sdk="$(cd "$sdk" && pwd)"
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

if [ "$failed" -ne 0 ]; then
  echo "make validate: FAILED" >&2
  exit 1
fi
echo "make validate: every validator test passed on both builds, and the complete-SDK build passed its tests"
