#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need, and any further
# ones named on the command line (make bench adds its plotting program).
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  cmake make ninja-build
  g++-mingw-w64-x86-64-posix
  wine64
  xvfb xauth imagemagick
  wixl msitools faketime zip unzip git
  juce-modules-source-data
  googletest libgtest-dev
  nlohmann-json3-dev libstb-dev libcli11-dev
  g++ clang libclang-rt-14-dev
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

sdk=/usr/share/juce/modules/juce_audio_processors/format_types/VST3_SDK
if [ ! -d "$sdk/pluginterfaces" ]; then
  echo "install-deps: the VST 3 SDK sources are missing at $sdk" >&2
  exit 1
fi
echo "install-deps: all packages present"
