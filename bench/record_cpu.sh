#!/usr/bin/env bash
# The CPU a run record costs: one device updated with its record kept (the default: the byte
# trace, the record line, the journal) against one updated beside it at the same time without
# (QTX_MOVA_NO_RECORD=1), pair by pair, each against its own emulator.
#   bash bench/record_cpu.sh [PAIRS]            (default 2, all side by side)
#   FIRMWARE=payload/small/firmware.hex TABLE=payload/small/language.tra bash bench/record_cpu.sh
#   BUILD=other-build bash bench/record_cpu.sh  (default: build)
# A pair takes one whole update (~5 min with the carried firmware). Printed for each pair: both
# runs' CPU (user + system, all threads) and their ratio, then the median ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-2}
build=${BUILD:-build}
tool=$PWD/$build/cli/mova-update
sim=$PWD/$build/sim/mova-sim
payload=(--reinstall)
[ -z "${FIRMWARE:-}" ] || payload+=(--firmware "$PWD/$FIRMWARE")
[ -z "${TABLE:-}" ] || payload+=(--table "$PWD/$TABLE")
work=$(mktemp -d)
sims=()
trap 'for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

# Runs a command with its output in files; prints "cpu_seconds exit" (its own threads, not
# its children's).
measure() {
  python3 - "$@" <<'PY'
import os, subprocess, sys
out, cmd = sys.argv[1], sys.argv[2:]
hz = os.sysconf("SC_CLK_TCK")
with open(out, "wb") as o:
    p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=o, stderr=subprocess.STDOUT)
    os.waitid(os.P_PID, p.pid, os.WEXITED | os.WNOWAIT)
    with open(f"/proc/{p.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    rc = p.wait()
print(f"{(int(fields[11]) + int(fields[12])) / hz:.2f} {rc}")
PY
}

for ((i = 0; i < pairs; i++)); do
  for side in rec bare; do
    "$sim" --link "$work/$side$i" --serial "$(printf '%04d' $((i * 2 + 1)))" </dev/null >/dev/null 2>&1 &
    sims+=("$!")
  done
done
for ((i = 0; i < pairs; i++)); do
  for side in rec bare; do
    for _ in $(seq 200); do [ -e "$work/$side$i" ] && break; sleep 0.05; done
  done
done
for ((i = 0; i < pairs; i++)); do
  XDG_STATE_HOME=$work/state$i QTX_MOVA_NO_JOURNAL=1 \
    measure "$work/rec$i.out" "$tool" --yes --port "$work/rec$i" "${payload[@]}" update >"$work/rec$i.cpu" &
  QTX_MOVA_NO_RECORD=1 \
    measure "$work/bare$i.out" "$tool" --yes --port "$work/bare$i" "${payload[@]}" update >"$work/bare$i.cpu" &
done
wait_all() { while [ "$(jobs -rp | wc -l)" -gt "${#sims[@]}" ]; do sleep 1; done; }
wait_all
printf '%4s %10s %10s %7s %s\n' pair record_CPU bare_CPU ratio trace_lines
ratios=()
for ((i = 0; i < pairs; i++)); do
  read -r rec rrc <"$work/rec$i.cpu"
  read -r bare brc <"$work/bare$i.cpu"
  [ "$rrc" = 0 ] && [ "$brc" = 0 ] || echo "pair $i: exit $rrc and $brc: $(tail -1 "$work/rec$i.out") / $(tail -1 "$work/bare$i.out")"
  lines=$(cat "$work/state$i/mova-update/last-trace.log" 2>/dev/null | wc -l)
  ratio=$(awk -v a="$rec" -v b="$bare" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')
  ratios+=("$ratio")
  printf '%4d %9.2fs %9.2fs %7s %s\n' "$i" "$rec" "$bare" "$ratio" "$lines"
done
printf '%s\n' "${ratios[@]}" | sort -n | awk '{ r[NR] = $1 } END { printf "median ratio %s of %d pairs\n", NR % 2 ? r[(NR + 1) / 2] : (r[NR / 2] + r[NR / 2 + 1]) / 2, NR }'
