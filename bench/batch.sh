#!/usr/bin/env bash
# Wall and CPU time of a batch: N emulated devices updated side by side with the carried
# firmware, against one device updated alone (the plain single update) in the same run.
#   bash bench/batch.sh [N=8]
# About twice the length of one whole update (~5 min each). The CPU time is the tool's and its
# workers' (user + system, children included), never the emulator's.
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-8}
tool=./build/cli/mova-update
sim=./build/sim/mova-sim
work=$(mktemp -d)
# The emulators this script started, ended by their process ids: never another user's
# processes of the same name.
sims=()
start_sim() {
  "$sim" "$@" </dev/null >/dev/null 2>&1 &
  sims+=("$!")
  sleep 0.5
}
stop_sims() {
  local pid
  for pid in "${sims[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  sims=()
}
trap 'stop_sims; rm -rf "$work"' EXIT
export QTX_MOVA_NO_RECORD=1
TIMEFORMAT='%R %U %S'

run_alone() {
  local t rc=0
  t=$( { time "$tool" --yes --port "$work/alone" update >"$work/alone.out" 2>"$work/alone.err" || rc=$?; } 2>&1 )
  echo "alone $t $rc"
}

run_batch() {
  local ports=() i t rc=0
  for i in $(seq 1 "$n"); do ports+=(--port "$work/dev-$i"); done
  t=$( { time "$tool" --yes "${ports[@]}" --report "$work/report.csv" update >"$work/batch.out" 2>"$work/batch.err" || rc=$?; } 2>&1 )
  echo "batch $t $rc"
}

# Each emulator is started here, not in the measuring subshell, so that its id is kept.
start_sim --link "$work/alone" --serial 0100
alone=$(run_alone)
stop_sims
start_sim --devices "$n" --link "$work/dev" --serial 0200
batch=$(run_batch)
stop_sims
echo "$alone" | awk '{ printf "1 device alone:       wall %7.1f s  CPU %6.2f s  exit %s\n", $2, $3 + $4, $5 }'
echo "$batch" | awk -v n="$n" '{ printf "%d devices side by side: wall %7.1f s  CPU %6.2f s  exit %s\n", n, $2, $3 + $4, $5 }'
paste -d' ' <(echo "$alone") <(echo "$batch") | awk -v n="$n" '{
  printf "wall ratio %d devices / 1 device: %.3f (goal <= 1.05)\n", n, $7 / $2
  printf "batch CPU over its run: %.3f %% of one core (goal < 2 %%)\n", ($8 + $9) / $7 * 100
  printf "single update CPU over its run: %.3f %% of one core\n", ($3 + $4) / $2 * 100 }'
echo "report rows: $(($(wc -l <"$work/report.csv") - 1)), updated: $(grep -c ',updated,' "$work/report.csv" || true)"
tail -1 "$work/batch.out"
