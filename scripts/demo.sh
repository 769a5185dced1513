#!/usr/bin/env bash
# Builds the plug-in, loads it in our host under Wine, streams audio through it and shows
# the stream arriving in our visualiser client.
set -euo pipefail
source "$(dirname "$0")/common.sh"

prepare_windows_run

step "What a host scanner sees: tarvo-host info"
host_exe info "$BUNDLE"

step "Ten seconds of a -6 dBFS 1 kHz sine through the effect, in real time, as sender \"Demo Sine\""
host_log="$BUILD_DIR/demo-host.log"
host_exe run "$BUNDLE" --seconds 10 --pace --input sine --freq 1000 --level -6 \
  --label "Demo Sine" --out "$BUILD_DIR/demo-output.wav" >"$host_log" 2>&1 &
HOST_PID=$!

step "tarvo-probe finds the sender and watches its stream for five seconds"
probe_exe watch --label "Demo Sine" --seconds 5
probe_exe list

step "The host finishes; its summary"
wait "$HOST_PID"
HOST_PID=""
cat "$host_log"

step "With the host gone, its discovery record is gone too"
probe_exe list

step "Auditions: four tones (100, 500, 2500, 10000 Hz), one in each solo band, as sender \"Demo Mix\","
echo "    with the plug-in's panel open on a virtual display"
host_exe run "$BUNDLE" \
  --seconds 13 --pace --input tones --level -6 --label "Demo Mix" --band-levels 250,1000,6000 \
  --editor --screenshot "$BUILD_DIR/panel.png" --screenshot-at 4 >"$host_log" 2>&1 &
HOST_PID=$!
sleep 2

step "Band Solo of band 1 (250 Hz to 1 kHz) for 3 s, then the repeats stop"
probe_exe solo --label "Demo Mix" --bands 0b0010 --crossovers 250,1000,6000 --seconds 3 --after 1.5

step "Spectrum audition around 1 kHz, width 0.6, for 3 s, then the repeats stop"
probe_exe spectrum --label "Demo Mix" --centre 1000 --width 0.6 --seconds 3 --after 1.5

step "What the host heard, second by second: all four bands, then only band 1, back to all,"
echo "    then the narrow band around 1 kHz (everything lower), and back to full audio;"
echo "    and what its panel showed as the probe connected, soloed and disconnected"
wait "$HOST_PID"
HOST_PID=""
cat "$host_log"
echo "The panel during the Band Solo: $BUILD_DIR/panel.png"

step "The same effect with 64-bit mono samples and 1025-frame blocks, offline"
host_exe run "$BUNDLE" --seconds 2 --channels 1 --precision 64 --block 1025 --mode offline --input sweep
