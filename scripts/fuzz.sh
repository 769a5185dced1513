#!/usr/bin/env bash
# Runs every fuzz target for FUZZ_SECONDS (default 300) each, starting from the saved
# corpus; new inputs go to build-fuzz/corpus-new/<target>, crashes to build-fuzz/.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_deps
build_fuzzers
seconds="${FUZZ_SECONDS:-300}"
for target in session_fuzz state_fuzz; do
  step "Fuzzing $target for $seconds s"
  mkdir -p "$ROOT/build-fuzz/corpus-new/$target"
  (cd "$ROOT/build-fuzz" && "./fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    "corpus-new/$target" "$ROOT/fuzz/corpus/$target" 2>&1 | grep -E "^#[0-9]+ +DONE|stat::number_of_executed_units|ERROR|SUMMARY" || true)
done
echo "To keep what was found: build-fuzz/fuzz/<target> -merge=1 fuzz/corpus/<target> build-fuzz/corpus-new/<target>"
