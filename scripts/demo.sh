#!/usr/bin/env bash
# Sets up and builds the driver, then runs it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build"
"$top/build/src/shell/qzr" "$@"
