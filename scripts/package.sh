#!/usr/bin/env bash
# Builds the bundle and its release: the archive TarvoAudioServerPrototype-<version>-win64.zip,
# the installer TarvoAudioServerPrototype-<version>-win64.msi and the module's debug file
# TarvoAudioServerPrototype-<version>-win64.debug, and shows what they hold.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_deps
start_display
prepare_wine
build_windows
for file in "$BUILD_DIR"/TarvoAudioServerPrototype-*-win64.{zip,msi,debug}; do
  step "$(basename "$file") ($(stat -c %s "$file") bytes)"
  case "$file" in
    *.zip) unzip -l "$file" ;;
    *.msi) msiinfo export "$file" Property | grep -E '^(ProductName|ProductVersion|Manufacturer|ProductCode|UpgradeCode)' ;;
    *.debug) echo "debugging information of the released module, which names it in its .gnu_debuglink" ;;
  esac
done
