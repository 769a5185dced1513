#!/usr/bin/env bash
# Builds the plug-in, then loads it in our host under Wine and streams audio through it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_deps
prepare_wine
build_windows

step "What a host scanner sees: tarvo-host info"
host_exe info "$BUNDLE"

step "Two seconds of a -6 dBFS 1 kHz sine through the effect, 32-bit stereo"
host_exe run "$BUNDLE" --seconds 2 --input sine --freq 1000 --level -6 \
  --out "$BUILD_DIR/demo-output.wav"

step "The same with 64-bit mono samples and 1025-frame blocks"
host_exe run "$BUNDLE" --seconds 2 --channels 1 --precision 64 --block 1025 --input sweep
