#!/usr/bin/env bash
# Builds the release of the checked-out commit twice, from two clones in two different
# folders, the second in another time zone and with another umask, and compares: the
# modules, the archives, the installers and the debug files must be identical byte for
# byte. Prints the hashes.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_deps
commit=$(git -C "$ROOT" rev-parse HEAD)
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
  echo "reproduce: the checkout has uncommitted changes; the clones build $commit without them"
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-reproduce.XXXXXX")
# The clones stay for a look when the builds disagree.
trap 'if [ "${failures:-1}" -eq 0 ]; then rm -rf "$scratch"; else echo "reproduce: the builds are in $scratch"; fi; cleanup' EXIT
first="$scratch/one/tarvo"
second="$scratch/a-second-folder/further/down/checkout"

for clone in "$first" "$second"; do
  step "Building the release of $commit in $clone"
  git clone -q --no-checkout "$ROOT" "$clone"
  git -C "$clone" checkout -q "$commit"
  (
    if [ "$clone" = "$second" ]; then
      export TZ=Pacific/Chatham
      umask 0077
    fi
    cmake -S "$clone" -B "$clone/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$clone/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$clone/build" --target tarvo_package >"$scratch/build.log" 2>&1
  ) || {
    cat "$scratch/build.log"
    exit 1
  }
done

step "Comparing"
failures=0
release() { ls "$1"/build/TarvoAudioServerPrototype-*-win64."$2"; }
compare() { # compare <what> <file in the first build> <file in the second>
  local a b
  a=$(sha256sum <"$2" | cut -d' ' -f1)
  b=$(sha256sum <"$3" | cut -d' ' -f1)
  if [ "$a" = "$b" ]; then
    printf 'identical  %-12s %s  %s\n' "$1" "$a" "$(basename "$2")"
  else
    printf 'DIFFERENT  %-12s %s against %s\n' "$1" "$a" "$b"
    failures=$((failures + 1))
  fi
}
for build in "$first" "$second"; do
  mkdir -p "$build/unpacked"
  unzip -q "$(release "$build" zip)" -d "$build/unpacked"
done
module=TarvoAudioServerPrototype.vst3/Contents/x86_64-win/TarvoAudioServerPrototype.vst3
compare module "$first/unpacked/$module" "$second/unpacked/$module"
compare archive "$(release "$first" zip)" "$(release "$second" zip)"
compare "debug file" "$(release "$first" debug)" "$(release "$second" debug)"

compare installer "$(release "$first" msi)" "$(release "$second" msi)"

if [ "$failures" -ne 0 ]; then
  echo "reproduce: $failures of the release's files differ between the two builds"
  exit 1
fi
step "Both builds of $commit gave the same release"
