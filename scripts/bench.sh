#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench) and runs them: the codec
# (compress, decompress, scramble) and the request read over 10 MB messages.
#   scripts/bench.sh [google-benchmark options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

"$top/scripts/setup.sh" "$top/build-bench" -DQZR_BENCH=ON -DQZR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release

"$top/build-bench/bench/bench_codec" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true "$@"
