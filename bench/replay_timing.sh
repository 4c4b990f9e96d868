#!/bin/bash
# The replay's timing against the run it plays back: one update with the carried firmware and
# table (about five minutes at the device's own pace) is recorded against mova-sim, then
# played back by mova-sim --replay and run again. Prints when each stage began in both runs
# (the first echo of its command, from the start of each run's trace), the difference, and
# the replay's exit status.
#   bash bench/replay_timing.sh [BUILD_DIR]     (default: build)
set -euo pipefail
build=${1:-build}
sim=$build/sim/mova-sim
tool=$build/cli/mova-update
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done; rm -rf "$work"' EXIT

wait_for() { for _ in $(seq 200); do [ -e "$1" ] && return 0; sleep 0.05; done; return 1; }

# 1. The recording: the emulated device at its own pace.
"$sim" --link "$work/rec/ttyMOVA" < <(sleep 900) > /dev/null &
pids+=($!)
wait_for "$work/rec/ttyMOVA"
start=$(date +%s.%N)
XDG_STATE_HOME=$work/rec "$tool" --port "$work/rec/ttyMOVA" --yes update > /dev/null 2>&1 || echo "recorded run: exit $?"
echo "recorded run: $(echo "$(date +%s.%N) - $start" | bc) s"

# 2. The same run against the replay of that recording.
"$sim" --replay "$work/rec/mova-update/last-trace.log" --link "$work/replay/ttyMOVA" > /dev/null 2> "$work/replay.err" &
replay=$!
pids+=($replay)
wait_for "$work/replay/ttyMOVA"
start=$(date +%s.%N)
XDG_STATE_HOME=$work/replay "$tool" --port "$work/replay/ttyMOVA" --yes update > /dev/null 2>&1 || echo "replayed run: exit $?"
echo "replayed run: $(echo "$(date +%s.%N) - $start" | bc) s"
set +e
wait "$replay"
echo "replay exit status: $? (0: matched)"
set -e
cat "$work/replay.err"

python3 - "$work/rec/mova-update/last-trace.log" "$work/replay/mova-update/last-trace.log" <<'EOF'
import sys
names = {0x71: "reset", 0x51: "erase", 0x75: "transfer", 0x76: "transfer", 0x77: "transfer", 0x78: "transfer",
         0xCA: "table", 0x70: "goodbye"}
def stages(path):
    lines = [l.split() for l in open(path) if l.startswith("mova-trace ") and not l.startswith("mova-trace cut")]
    first, seen, read_back = int(lines[0][1]), {}, None
    for i, w in enumerate(lines):
        if w[3] == ">" and len(w) == 5 and i + 1 < len(lines) and lines[i + 1][3] == "<" and lines[i + 1][4] == w[4]:
            name = names.get(int(w[4], 16))
            if name and name not in seen:
                seen[name] = int(w[1]) - first
        # The read-back begins with the first block the device sends after the transfer.
        if "transfer" in seen and read_back is None and w[3] == "<" and len(w) > 64:
            seen["verify"] = read_back = int(w[1]) - first
    seen["end"] = int(lines[-1][1]) - first
    return seen
rec, rep = stages(sys.argv[1]), stages(sys.argv[2])
print("%-10s %12s %12s %10s" % ("stage", "recorded ms", "replayed ms", "diff ms"))
worst = 0
for name in ["reset", "erase", "transfer", "verify", "table", "goodbye", "end"]:
    if name in rec and name in rep:
        diff = rep[name] - rec[name]
        worst = max(worst, abs(diff))
        print("%-10s %12d %12d %+10d" % (name, rec[name], rep[name], diff))
print("largest difference: %d ms over %.1f s (%.3f %%)" % (worst, rec["end"] / 1000, 100.0 * worst / max(rec["end"], 1)))
EOF
