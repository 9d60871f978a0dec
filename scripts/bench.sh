#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench) and runs them: the codec
# (compress, decompress, scramble) and the request read over 10 MB messages,
# then the load of redirection rules (1000, 5000 and 50,000 one-pair rules)
# and the lookup of a request among them.
#   scripts/bench.sh [google-benchmark options...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

"$top/scripts/setup.sh" "$top/build-bench" -DQZR_BENCH=ON -DQZR_TESTS=OFF -DCMAKE_BUILD_TYPE=Release

for bench in codec switch; do
  "$top/build-bench/bench/bench_$bench" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true "$@"
done
