#!/usr/bin/env bash
# The station window against the command line's --repeat on the same shelf, in one run:
# N emulated devices (default 32) with the carried firmware through `mova-update --repeat`,
# then N fresh ones through qtx-mova-station, each ending by itself after N devices. Prints
# both wall times and their ratio, the station's own CPU (its process alone, not its workers)
# as a share of one core while it shows the devices, and its CPU while idle with no device.
#   bash bench/station.sh [N=32] [IDLE_S=60]
# Needs Xvfb (the window is drawn for real) and about twice one whole update (~5 min each).
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-32}
idle_s=${2:-60}
tool=$PWD/build/cli/mova-update
station=$PWD/build/station/qtx-mova-station
sim=$PWD/build/sim/mova-sim
work=$(mktemp -d)
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT
export QTX_MOVA_NO_RECORD=1 XDG_CONFIG_HOME=$work/config
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1920x1080x24 >/dev/null 2>&1 &
pids+=("$!")
export DISPLAY=$display
sleep 1

# Emulators: at most 32 devices each, device K of emulator E at $work/E-dev-K.
start_shelf() {
  local tag=$1 left=$n e=0 count base=10
  [[ $tag == s ]] && base=50 # other serials for the second shelf: nothing is held over
  ports=()
  while ((left > 0)); do
    count=$((left > 32 ? 32 : left))
    e=$((e + 1))
    "$sim" --devices "$count" --link "$work/$tag$e-dev" --serial "$(printf '%02d00' $((e + base)))" \
      </dev/null >/dev/null 2>&1 &
    pids+=("$!")
    for k in $(seq 1 "$count"); do ports+=(--port "$work/$tag$e-dev-$k"); done
    left=$((left - count))
  done
  sleep 1
}

# A process's own CPU seconds (user + system, its children not included), from /proc.
own_cpu() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"
}

start_shelf r
start=$(date +%s.%N)
"$tool" --repeat --count "$n" --yes --allow-low-battery "${ports[@]}" update >"$work/repeat.out" 2>&1 || true
repeat_wall=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
stop_all
Xvfb "$display" -screen 0 1920x1080x24 >/dev/null 2>&1 &
pids+=("$!")
sleep 1

start_shelf s
start=$(date +%s.%N)
"$station" --count "$n" --quit-at-end "${ports[@]}" >"$work/station.out" 2>&1 &
spid=$!
cpu=0
while kill -0 "$spid" 2>/dev/null; do
  c=$(own_cpu "$spid" 2>/dev/null) && cpu=$c
  sleep 0.5
done
wait "$spid" || true
station_wall=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
stop_all
Xvfb "$display" -screen 0 1920x1080x24 >/dev/null 2>&1 &
pids+=("$!")
sleep 1

# Idle: sockets with no device in them.
idle_ports=()
for k in $(seq 1 "$n"); do idle_ports+=(--port "$work/none-$k"); done
"$station" "${idle_ports[@]}" >/dev/null 2>&1 &
ipid=$!
pids+=("$ipid")
sleep 5 # its start-up is not idling
before=$(own_cpu "$ipid")
sleep "$idle_s"
after=$(own_cpu "$ipid")
stop_all

echo "devices: $n"
echo "mova-update --repeat: wall $repeat_wall s"
echo "station window:       wall $station_wall s, its own CPU $cpu s"
echo "$repeat_wall $station_wall $cpu $before $after $idle_s" | awk '{
  printf "wall ratio station / --repeat: %.3f (goal <= 1.02)\n", $2 / $1
  printf "station CPU while it shows the devices: %.3f %% of one core (goal <= 2 %%)\n", $3 / $2 * 100
  printf "station CPU idle, no device, %d s: %.3f %% of one core (goal <= 0.2 %%)\n", $6, ($5 - $4) / $6 * 100 }'
echo "repeat summary: $(tail -1 "$work/repeat.out")"
echo "station said: $(tail -3 "$work/station.out" | tr '\n' ' ')"
