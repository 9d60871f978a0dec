#!/usr/bin/env bash
# Builds the driver twice (a normal build and one with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$top/scripts/setup.sh" "$top/build"
"$top/scripts/setup.sh" "$top/build-asan" -DQZR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
echo "== normal build =="
ctest --test-dir "$top/build" -j"$jobs" --output-on-failure || status=1
echo "== sanitizer build =="
ctest --test-dir "$top/build-asan" -j"$jobs" --output-on-failure || status=1
exit $status
