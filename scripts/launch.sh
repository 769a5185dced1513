#!/usr/bin/env bash
# Runs one of our Windows tools under Wine as if it were a native command: finds Wine as
# our scripts do, uses the Wine prefix `make demo` uses (WINEPREFIX, else ~/.wine), gives
# the call a virtual display when it needs one and there is none (--editor, --screenshot),
# passes every argument through unchanged and returns the tool's exit status.
#   scripts/launch.sh TOOL [ARGUMENTS...]      (bin/tarvo-host and bin/tarvo-probe call it)
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

tool=$1
shift
exe="$BUILD_DIR/tools/$tool.exe"
if [ ! -f "$exe" ]; then
  echo "$tool: $exe is not built yet; run make demo (or make build) first" >&2
  exit 1
fi
if [ ! -x "$WINE" ]; then
  echo "$tool: Wine is not installed; run scripts/install-deps.sh (make demo does)" >&2
  exit 1
fi

for argument in "$@"; do
  case "$argument" in
    --editor | --screenshot | --screenshot=* | --screenshot-at | --screenshot-at=*)
      if [ -z "${DISPLAY:-}" ]; then
        # Wine's desktop keeps the display of the first program of a Wine session, so the
        # session must start with ours: an idle one ends by itself within seconds.
        if ! timeout 10 "$WINESERVER" -w 2>/dev/null; then
          echo "$tool: this command opens a window and needs a display, but other Wine programs of this" >&2
          echo "$tool: prefix (${WINEPREFIX:-$HOME/.wine}) are running without one; end them first" >&2
          exit 1
        fi
        start_xvfb # stopped, with the Wine session it served, when the call ends
      fi
      break ;;
  esac
done

"$WINE" "$exe" "$@"
