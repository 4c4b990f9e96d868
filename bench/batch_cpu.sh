#!/usr/bin/env bash
# The CPU a device costs in a batch against the CPU of one device updated alone, and the
# batch process's own share (its supervision: pipes, events, port looks, lines) per device.
#   bash bench/batch_cpu.sh [N ...]            (default: 1 8 32 64)
#   FIRMWARE=payload/small/firmware.hex TABLE=payload/small/language.tra bash bench/batch_cpu.sh 64
#   JSON=1 bash bench/batch_cpu.sh 8           (the batch with --json, as a program reads it)
#   BUILD=other-build bash bench/batch_cpu.sh   (default: build)
# Every run takes about one whole update (~5 min with the carried firmware, ~20 s with the
# small image); the runs follow each other. An emulator serves up to 32 devices: more are
# spread over several, each with its own link prefix and serials.
#
# The figures are taken from outside the tool: each run's process is waited for without
# being reaped (waitid WNOWAIT), so that /proc/PID/stat still holds its own user and system
# time (the batch's, all its threads) apart from that of its reaped children (the workers).
# The emulators' CPU is never counted.
set -euo pipefail
cd "$(dirname "$0")/.."
counts=("${@:-1}")
[ $# -gt 0 ] || counts=(1 8 32 64)
build=${BUILD:-build}
tool=$build/cli/mova-update
sim=$build/sim/mova-sim
payload=()
[ -z "${FIRMWARE:-}" ] || payload+=(--firmware "$FIRMWARE")
[ -z "${TABLE:-}" ] || payload+=(--table "$TABLE")
json=()
[ -z "${JSON:-}" ] || json=(--json)
work=$(mktemp -d)
sims=()
# The emulators this script started, ended by their process ids: never another user's
# processes of the same name.
start_sim() {
  "$sim" "$@" </dev/null >/dev/null 2>&1 &
  sims+=("$!")
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

# Runs a command with its output in files; prints "wall own_user own_sys children_user
# children_sys exit" in seconds.
measure() {
  python3 - "$@" <<'EOF'
import os, subprocess, sys, time
out, err, cmd = sys.argv[1], sys.argv[2], sys.argv[3:]
hz = os.sysconf("SC_CLK_TCK")
start = time.monotonic()
with open(out, "wb") as o, open(err, "wb") as e:
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=o, stderr=e)
    # Ended but not reaped: its own times and its reaped children's are still apart.
    os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)
    wall = time.monotonic() - start
    with open(f"/proc/{p.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    rc = p.wait()
utime, stime, cutime, cstime = (int(fields[i]) / hz for i in (11, 12, 13, 14))
print(f"{wall:.2f} {utime:.2f} {stime:.2f} {cutime:.2f} {cstime:.2f} {rc}")
EOF
}

wait_links() {
  local link
  for link in "$@"; do
    for _ in $(seq 200); do [ -e "$link" ] && break; sleep 0.05; done
  done
}

start_sim --link "$work/alone" --serial 0100
wait_links "$work/alone"
alone=$(measure "$work/alone.out" "$work/alone.err" "$tool" --yes --port "$work/alone" "${payload[@]}" update)
stop_sims
read -r wall user sys cuser csys rc <<<"$alone"
lone=$(awk -v u="$user" -v s="$sys" -v cu="$cuser" -v cs="$csys" 'BEGIN { print u + s + cu + cs }')
printf 'lone update: wall %.1f s, CPU %.2f s (user %.2f, system %.2f), exit %s\n' "$wall" "$lone" \
  "$(awk -v a="$user" -v b="$cuser" 'BEGIN { print a + b }')" "$(awk -v a="$sys" -v b="$csys" 'BEGIN { print a + b }')" "$rc"
printf '%4s %8s %10s %11s %7s %11s %11s %12s %5s %8s\n' N wall batch_CPU per_device ratio parent_CPU \
  parent/dev workers/dev exit updated

for n in "${counts[@]}"; do
  ports=() links=()
  for ((first = 1, e = 1; first <= n; first += 32, e++)); do
    here=$((n - first + 1 < 32 ? n - first + 1 : 32))
    serial=$(printf "%02d00" $((e + 1)))
    if ((here == 1)); then # one device is published under the link itself
      start_sim --link "$work/e$e" --serial "$serial"
      links+=("$work/e$e")
    else
      start_sim --devices "$here" --link "$work/e$e" --serial "$serial"
      for ((k = 1; k <= here; k++)); do links+=("$work/e$e-$k"); done
    fi
  done
  wait_links "${links[@]}"
  for link in "${links[@]}"; do ports+=(--port "$link"); done
  # One port alone is the plain single update: a batch of one takes its device as --repeat does.
  ((n > 1)) || ports+=(--repeat --count 1)
  batch=$(measure "$work/batch.out" "$work/batch.err" "$tool" "${json[@]}" --yes "${ports[@]}" \
    --report "$work/report-$n.csv" "${payload[@]}" update)
  stop_sims
  updated=$(grep -c ',updated,' "$work/report-$n.csv" || true)
  read -r wall user sys cuser csys rc <<<"$batch"
  awk -v n="$n" -v w="$wall" -v u="$user" -v s="$sys" -v cu="$cuser" -v cs="$csys" -v rc="$rc" \
    -v lone="$lone" -v up="$updated" 'BEGIN {
    total = u + s + cu + cs
    printf "%4d %7.1fs %9.2fs %10.3fs %7.3f %10.2fs %10.4fs %11.3fs %5s %8s\n",
      n, w, total, total / n, total / n / lone, u + s, (u + s) / n, (cu + cs) / n, rc, up }'
done
