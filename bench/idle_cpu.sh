#!/usr/bin/env bash
# CPU of the tool while it polls a connected device for a minute (offscreen), and of the
# emulator serving it over the same minute as the peer.
#   bash bench/idle_cpu.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
work=$(mktemp -d)
trap 'kill $sim $app 2>/dev/null; rm -rf "$work"' EXIT
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
(sleep $((seconds + 30)) | ./build/sim/mova-sim --link "$work/tty" >/dev/null) &
sleep 0.5
sim=$(pgrep -n -f "mova-sim --link $work/tty")
QT_QPA_PLATFORM=offscreen ./build/app/QTX_MOVA_Update "$work/tty" >/dev/null 2>&1 &
app=$!
sleep 3 # connected and identified
a0=$(ticks $app); s0=$(ticks $sim)
sleep "$seconds"
a1=$(ticks $app); s1=$(ticks $sim)
hz=$(getconf CLK_TCK)
awk -v a=$((a1 - a0)) -v s=$((s1 - s0)) -v hz="$hz" -v t="$seconds" 'BEGIN {
  printf "tool     %.2f s CPU in %d s (%.3f %%)\n", a / hz, t, a / hz / t * 100
  printf "emulator %.2f s CPU in %d s (%.3f %%)\n", s / hz, t, s / hz / t * 100 }'
echo "tool RSS $(awk '/VmRSS/ { print $2, $3 }' /proc/$app/status)"
