#!/usr/bin/env bash
# Builds the tool and starts it. With no device path given and no device attached, it starts
# the emulated device on a pseudo-terminal and points the tool at it. Without a display the
# window runs offscreen for a while and the emulator's byte trace is shown.
#   bash tools/run.sh [DEVICE_PATH]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target QTX_MOVA_Update mova-sim

device=${1:-}
work=$(mktemp -d /tmp/mova-run.XXXXXX)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

if [ -z "$device" ]; then
  device="$work/ttyMOVA"
  # The emulator reads control lines (unplug, plug, fault ...) from this FIFO.
  mkfifo "$work/control"
  ./build/sim/mova-sim --link "$device" --trace "$work/trace" <"$work/control" &
  sim_pid=$!
  exec 3>"$work/control"
  for _ in $(seq 50); do [ -e "$device" ] && break; sleep 0.1; done
  echo "run: emulated device on $device"
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  ./build/app/QTX_MOVA_Update "$device"
else
  seconds=${QTX_RUN_SECONDS:-8}
  echo "run: no display; the window runs offscreen for $seconds s"
  QT_QPA_PLATFORM=offscreen timeout -s TERM "$seconds" ./build/app/QTX_MOVA_Update "$device" || true
fi
if [ -n "$sim_pid" ]; then
  echo "run: what the emulated device saw and said (ms, direction, byte):"
  cat "$work/trace" 2>/dev/null || true
fi
