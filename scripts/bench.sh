#!/usr/bin/env bash
# Runs every benchmark (under Wine, and the portable core natively) and writes the
# figures of this one run to docs/performance.md.
set -euo pipefail
source "$(dirname "$0")/common.sh"

prepare_windows_run
build_native

seconds="${BENCH_SECONDS:-3}"
step "Audio server under Wine: delivery, delay and capture cost"
server=$("$WINE" "$BUILD_DIR/bench/server_bench.exe" "$seconds")
echo "$server"
step "Audition path under Wine"
audition=$("$WINE" "$BUILD_DIR/bench/audition_bench.exe")
echo "$audition"
step "Audition path, native build of the same sources"
native=$("$NATIVE_BUILD_DIR/bench/audition_bench")
echo "$native"
step "Sixteen instances streaming to sixteen tarvo-probe processes"
streaming=$("$WINE" "$BUILD_DIR/bench/streaming_bench.exe" "${STREAM_SECONDS:-10}")
echo "$streaming"

# Drops each benchmark's own title line; the report gives its own headings.
body() { printf '%s\n' "$1" | awk 'NR == 1 && /^(Audio server benchmark|Audition path per)/ { skip = 1; next } skip && /^$/ { skip = 0; next } { skip = 0; print }'; }

mkdir -p "$ROOT/docs"
report="$ROOT/docs/performance.md"
{
  echo "# Performance"
  echo
  echo "Written by \`make bench\` on $(date -u '+%Y-%m-%d %H:%M UTC'): $(nproc) cores, $(uname -sm),"
  echo "$("$WINE" --version 2>/dev/null || echo Wine). Every ratio below compares two figures measured in the same run."
  echo "Under Wine the Windows binaries run unchanged; timings there include Wine's own overhead."
  echo
  echo "## Capture and delivery (Windows build under Wine)"
  echo
  echo "48 kHz stereo; delivery is to a client that reads as fast as it can; the delay runs from"
  echo "\`capture\` on the audio thread to the frame's arrival in the client. The last table is the"
  echo "cost of \`capture\` per frame next to a plain \`memcpy\` of the same bytes."
  echo
  body "$server"
  echo
  echo "## Audition path against the bare biquad cascade"
  echo
  echo "The process callback's audio path per stereo frame (the engine's step, then the copy or the"
  echo "filter bank) at 48 kHz with 512-frame blocks, next to a bare cascade of as many biquad stages"
  echo "run alone on the same buffers, the floor the bank could reach; the share is of one core's"
  echo "real-time budget."
  echo
  echo "Windows build under Wine:"
  echo
  body "$audition"
  echo
  echo "Native build of the same sources:"
  echo
  body "$native"
  echo
  echo "## Sixteen instances streaming"
  echo
  echo "Sixteen audio servers in one host process, fed 256-frame stereo blocks at the 48 kHz rate,"
  echo "each streaming to its own \`tarvo-probe\` process; the CPU time is this host process's alone."
  echo
  echo "$streaming"
} >"$report"
step "Wrote $report"
