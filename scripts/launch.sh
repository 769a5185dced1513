#!/usr/bin/env bash
# Runs one of our Windows tools under Wine as if it were a native command: finds Wine as
# our scripts do, uses the Wine prefix `make demo` uses (WINEPREFIX, else ~/.wine), gives
# the call a virtual display when it needs one and there is none (--editor, --screenshot),
# passes every argument through unchanged and returns the tool's exit status.
#   scripts/launch.sh TOOL [ARGUMENTS...]      (bin/tarvo-host and bin/tarvo-probe call it)
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tool=$1
shift
exe="${BUILD_DIR:-$ROOT/build}/tools/$tool.exe"
if [ ! -f "$exe" ]; then
  echo "$tool: $exe is not built yet; run make demo (or make build) first" >&2
  exit 1
fi
WINE="$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)"
WINESERVER="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
if [ ! -x "$WINE" ]; then
  echo "$tool: Wine is not installed; run scripts/install-deps.sh (make demo does)" >&2
  exit 1
fi
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

needsDisplay=""
for argument in "$@"; do
  case "$argument" in --editor | --screenshot | --screenshot=* | --screenshot-at | --screenshot-at=*) needsDisplay=1 ;; esac
done

xvfb=""
if [ -n "$needsDisplay" ] && [ -z "${DISPLAY:-}" ]; then
  # Wine's desktop keeps the display of the first program of a Wine session, so the
  # session must start with ours: an idle one ends by itself within seconds.
  if ! timeout 10 "$WINESERVER" -w 2>/dev/null; then
    echo "$tool: this command opens a window and needs a display, but other Wine programs of this" >&2
    echo "$tool: prefix (${WINEPREFIX:-$HOME/.wine}) are running without one; end them first" >&2
    exit 1
  fi
  for n in $(seq 90 150); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
  done
fi

"$WINE" "$exe" "$@"
status=$?

if [ -n "$xvfb" ]; then
  # The session ends with its last program; then the display may go.
  timeout 10 "$WINESERVER" -w 2>/dev/null || "$WINESERVER" -k 2>/dev/null
  kill "$xvfb" 2>/dev/null
fi
exit "$status"
