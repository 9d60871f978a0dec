#!/usr/bin/env bash
# Installs the Debian packages the driver and its tests need (those missing),
# then configures and builds one tree: every target, or only the one named
# by --target (the demo builds the program alone).
#   scripts/setup.sh [--target NAME] [BUILD_DIR [extra cmake arguments...]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
target=()
if [ "${1:-}" = --target ]; then
  target=(--target "$2")
  shift 2
fi
build=${1:-$top/build}
shift || true

packages=(build-essential cmake pkg-config libsqlite3-dev libcurl4-openssl-dev
  libssl-dev libncurses-dev libsystemd-dev libgtest-dev libbenchmark-dev
  socat ppp openssl sqlite3 procps tmux strace)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

cmake -S "$top" -B "$build" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" "${target[@]}"
