#!/usr/bin/env bash
# The CPU a device costs in a batch against the CPU of one device updated alone, and the
# batch process's own share (its supervision: pipes, events, port looks, lines) per device.
#   bash bench/batch_cpu.sh [N ...]            (default: 1 8 32 64)
#   FIRMWARE=payload/small/firmware.hex TABLE=payload/small/language.tra bash bench/batch_cpu.sh 64
#   JSON=1 bash bench/batch_cpu.sh 8           (the batch with --json, as a program reads it)
#   BUILD=other-build bash bench/batch_cpu.sh   (default: build)
# Each N takes about one whole update (~5 min with the carried firmware, ~20 s with the small
# image); they follow each other. An emulator serves up to 32 devices: more are spread over
# several, each with its own link prefix and serials. A batch of one device runs as
# --repeat --count 1 (one --port alone is the plain single update).
#
# Beside each batch, one device is updated alone (the plain single update) at the same time:
# the machine is shared, and a lone update measured minutes apart from the batch can differ
# from it by more than the difference sought. Its CPU is each row's measure.
#
# The figures are taken from outside the tool: each process is waited for without being
# reaped (waitid WNOWAIT), so that /proc/PID/stat still holds its own user and system time
# (all its threads) apart from that of its reaped children (a batch's workers). The
# emulators' CPU is never counted.
set -euo pipefail
cd "$(dirname "$0")/.."
counts=("$@")
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

printf '%4s %8s %9s %10s %11s %7s %11s %11s %12s %5s %8s\n' N wall lone_CPU batch_CPU per_device ratio \
  parent_CPU parent/dev workers/dev exit updated
for n in "${counts[@]}"; do
  ports=() links=("$work/alone")
  start_sim --link "$work/alone" --serial 0100
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
  for link in "${links[@]:1}"; do ports+=(--port "$link"); done
  ((n > 1)) || ports+=(--repeat --count 1)
  measure "$work/alone.out" "$work/alone.err" "$tool" --yes --port "$work/alone" "${payload[@]}" update \
    >"$work/alone.figures" &
  alone=$!
  batch=$(measure "$work/batch.out" "$work/batch.err" "$tool" "${json[@]}" --yes "${ports[@]}" \
    --report "$work/report-$n.csv" "${payload[@]}" update)
  wait "$alone"
  stop_sims
  updated=$(grep -c ',updated,' "$work/report-$n.csv" || true)
  read -r _ lu ls lcu lcs lrc <"$work/alone.figures"
  read -r wall user sys cuser csys rc <<<"$batch"
  [ "$lrc" = 0 ] || echo "the lone update ended with $lrc: $(tail -1 "$work/alone.err")"
  awk -v n="$n" -v w="$wall" -v u="$user" -v s="$sys" -v cu="$cuser" -v cs="$csys" -v rc="$rc" \
    -v lone="$(awk -v a="$lu" -v b="$ls" -v c="$lcu" -v d="$lcs" 'BEGIN { print a + b + c + d }')" -v up="$updated" 'BEGIN {
    total = u + s + cu + cs
    ratio = lone > 0 ? sprintf("%.3f", total / n / lone) : "-" # the small image: below a clock tick
    printf "%4d %7.1fs %8.2fs %9.2fs %10.3fs %7s %10.2fs %10.4fs %11.3fs %5s %8s\n",
      n, w, lone, total, total / n, ratio, u + s, (u + s) / n, (cu + cs) / n, rc, up }'
done
