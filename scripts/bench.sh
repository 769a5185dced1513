#!/usr/bin/env bash
# Runs the benchmarks under Wine; each prints its own figures.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_deps
prepare_wine
build_windows
step "Audio server under Wine: delivery, delay and capture cost"
"$WINE" "$BUILD_DIR/bench/server_bench.exe" "${BENCH_SECONDS:-3}"

step "Audition path under Wine"
"$WINE" "$BUILD_DIR/bench/audition_bench.exe"

build_native
step "Audition path, native build of the same sources"
"$NATIVE_BUILD_DIR/bench/audition_bench"
