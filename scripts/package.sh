#!/usr/bin/env bash
# Builds the bundle and its release archive, TarvoAudioServerPrototype-<version>-win64.zip,
# and shows what the archive holds.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_deps
start_display
prepare_wine
build_windows
archive="$(ls "$BUILD_DIR"/TarvoAudioServerPrototype-*-win64.zip)"
step "Release archive: $archive"
cmake -E tar tvf "$archive"
