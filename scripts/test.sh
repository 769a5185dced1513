#!/usr/bin/env bash
# The whole test suite: the Windows binaries under Wine (the portable core's tests among them),
# then the core natively under the sanitizers and the fuzz corpora.
set -euo pipefail
source "$(dirname "$0")/common.sh"

prepare_windows_run
start_wineserver
step "Running the Windows tests under Wine (panel tests on a virtual display)"
# Two test programs at a time: most of their time is spent waiting on pipes, timers and
# windows, not computing.
(cd "$BUILD_DIR" && ctest --parallel 2 --output-on-failure)

step "Running the README's examples as a user would (no display of ours, no Wine running)"
"$WINESERVER" -k >/dev/null 2>&1 || true
"$WINESERVER" -w >/dev/null 2>&1 || true
env -u DISPLAY "$ROOT/tests/readme_examples.sh"

build_sanitized address
step "Running the core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
(cd "$ROOT/build-address" && ctest --output-on-failure)

build_sanitized thread
step "Running the core tests under ThreadSanitizer"
(cd "$ROOT/build-thread" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure)

build_fuzzers
step "Replaying the saved fuzz corpora"
(cd "$ROOT/build-fuzz" && ctest --output-on-failure)

step "Every test passed"
