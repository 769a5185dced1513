#!/usr/bin/env bash
# The build's picture of the panel for hosts' plug-in browsers: our host opens the bundle's
# panel and saves it into the bundle (Contents/Resources/Snapshots). It runs on a virtual
# display and in a Wine prefix of its own, whose wineserver and desktop start and end with
# it, so a build never depends on or disturbs a display or a Wine session it did not start.
#   snapshot.sh <wine> <tarvo-host.exe> <bundle> <prefix folder> [xvfb-run]
set -euo pipefail
wine=$1 host=$2 bundle=$3 prefix=$4 xvfb_run=${5:-xvfb-run}
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY TARVO_AUDIO_SERVER_RUNTIME
# Xvfb's depth and the prefix's defaults fix what is drawn: the picture is the same for
# every build of the same commit on the same packages. A Wine that hangs fails the build
# after two minutes instead of holding it.
exec "$xvfb_run" -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
  status=0
  timeout -k 10 120 "$0" "$1" snapshot "$2" || status=$?
  "$3" -k >/dev/null 2>&1 || true
  "$3" -w >/dev/null 2>&1 || true
  exit $status' "$wine" "$host" "$bundle" "$wineserver"
