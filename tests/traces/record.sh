#!/bin/bash
# Records the traces in this folder again, and their index: each is mova-update updating the
# emulated device (a quick one: erase steps of 20 ms, back 500 ms after its reset) with the
# small firmware and table beside this script, with one fault switched on.
#   bash tests/traces/record.sh BUILD_DIR
# The test replays each trace (mova-sim --replay) against the tool and expects the exit status
# and last words the index gives: a tool that talks to the device differently no longer
# matches the recording, and the replay says where.
set -euo pipefail
build=${1:?usage: record.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
sim=$build/sim/mova-sim
tool=$build/cli/mova-update
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name  fault (none: a good update)
cases=(
  "good none"
  "erase-fail erase-fail"
  "block-refused block-fatal:1"
  "verify-failed readback-corrupt:1"
  "table-failed language-block-fatal"
  "device-lost pull-on-block:1"
)
index=$here/index
echo "# trace exit last-words (standard output's for exit 0, else standard error's); made by record.sh" > "$index"
for c in "${cases[@]}"; do
  read -r name fault <<< "$c"
  link=$work/$name/ttyMOVA
  mkdir -p "$work/$name/state"
  args=(--link "$link" --erase-step 20 --reset-downtime 500)
  [ "$fault" = none ] || args+=(--fault "$fault")
  "$sim" "${args[@]}" < <(sleep 60) > /dev/null &
  sim_pid=$!
  for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
  set +e
  XDG_STATE_HOME=$work/$name/state "$tool" --port "$link" --yes --firmware "$here/small.hex" \
    --table "$here/small.tra" update > "$work/$name/out" 2> "$work/$name/err"
  status=$?
  set -e
  kill "$sim_pid"
  wait "$sim_pid" 2> /dev/null || true
  # A run that succeeded leaves its trace as last-trace.log; one that failed, in failed-traces/.
  if [ "$status" = 0 ]; then
    cp "$work/$name/state/mova-update/last-trace.log" "$here/$name.log"
  else
    cp "$work/$name/state/mova-update/failed-traces/"*.log "$here/$name.log"
  fi
  if [ "$status" = 0 ]; then words=$(tail -n 1 "$work/$name/out"); else words=$(tail -n 1 "$work/$name/err"); fi
  echo "$name.log $status $words" >> "$index"
  echo "$name: exit $status, $(wc -c < "$here/$name.log") bytes"
done
