#!/usr/bin/env bash
# The tool's main job: build it, and update a device. Without a device path, the emulated
# device is started on a pseudo-terminal. With a display the window opens (press "Update");
# without one, mova-update runs the same update on the command line and shows the result.
#   bash tools/run.sh [--small] [DEVICE_PATH]
# The full carried firmware takes about five minutes at the device's own pace; --small
# installs a small test image instead (about 20 seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
small=
device=
for arg in "$@"; do
  case "$arg" in
    --small) small=1 ;;
    *) device=$arg ;;
  esac
done
bash tools/setup.sh
# Every program the README names: the window, mova-update, mova-sim and the station's window.
# The compiler's lines go to a log, shown only when the build fails.
mkdir -p build
log=build/run-build.log
echo "run: building QTX_MOVA_Update, mova-update, mova-sim and qtx-mova-station (about 3 minutes the first time; its output in $log)"
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build -j2 --target QTX_MOVA_Update mova-update mova-sim qtx-mova-station; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "run: the build failed; its whole output is in $log" >&2
  exit 1
fi

work=$(mktemp -d /tmp/mova-run.XXXXXX)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

if [ -z "$device" ]; then
  device="$work/ttyMOVA"
  mkfifo "$work/control" # control lines for the emulator: unplug, plug, fault ...
  ./build/sim/mova-sim --link "$device" --trace "$work/trace" <"$work/control" >/dev/null &
  sim_pid=$!
  exec 3>"$work/control"
  for _ in $(seq 50); do [ -e "$device" ] && break; sleep 0.1; done
  echo "run: emulated device on $device"
fi

payloads=()
if [ -n "$small" ]; then
  python3 tools/make_payloads.py --small "$work/small"
  payloads=(--firmware "$work/small/firmware.hex" --table "$work/small/language.tra")
  export QTX_MOVA_FIRMWARE="$work/small/firmware.hex" QTX_MOVA_TABLE="$work/small/language.tra"
fi

status=0
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  ./build/app/QTX_MOVA_Update "$device" || status=$?
else
  echo "run: no display; the same update with mova-update"
  # The emulated device holds no recording to lose; a real one may, so its question is asked.
  yes=()
  [ -n "$sim_pid" ] && yes=(--yes)
  ./build/cli/mova-update --port "$device" "${payloads[@]}" info
  ./build/cli/mova-update --port "$device" "${yes[@]}" "${payloads[@]}" update || status=$?
fi
if [ -n "$sim_pid" ] && [ -s "$work/trace" ]; then
  echo "run: the emulated device took $(grep -c ' in ' "$work/trace") bytes and sent $(grep -c ' out ' "$work/trace")"
fi
exit $status
