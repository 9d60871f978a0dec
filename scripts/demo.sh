#!/usr/bin/env bash
# Sets up and builds the driver (the program only: scripts/test.sh builds
# the tests), then runs one pass on the bundled demo: the simulation network
# TEST answers the sample claim TEST/REQ.001 with itself. The demo runs in a
# fresh copy (build/demo-run), so it can be run again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" --target qzr "$top/build"

run="$top/build/demo-run"
rm -rf "$run"
cp -r "$top/demo" "$run"
mkdir -p "$run/devices"
ln -s /dev/ptmx "$run/devices/com1"
# The daily update check counts as done: the demo has no update program.
touch "$run/qzrupdate.lck"

echo "== qzr -c $run -e $run"
status=0
"$top/build/src/shell/qzr" -c "$run" -e "$run" "$@" || status=$?
echo "== exit status $status"
echo "== log"
cat "$run/qzr.log"; echo
echo "== request directory"
ls "$run/TEST"
echo "== response file TEST/RSP.001"
cat "$run/TEST/RSP.001"; echo
exit $status
