#!/usr/bin/env bash
# Whole-process instruction counts (callgrind) and wall times of mova-update image-info and of
# objcopy -I ihex -O binary on the same Intel HEX text, in one run.
#   bash bench/loader_vs_objcopy.sh [build/cli/mova-update] [payload/firmware.hex]
set -euo pipefail
info=${1:-build/cli/mova-update}
hex=${2:-payload/firmware.hex}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

instructions() { # command...
  valgrind --tool=callgrind --callgrind-out-file="$out/cg" "$@" >/dev/null 2>"$out/log"
  grep -o 'Collected : [0-9]*' "$out/log" | grep -o '[0-9]*'
}
wall() { # command... ; best of 5, in ms
  local best=
  for _ in 1 2 3 4 5; do
    local s e
    s=$(date +%s%N); "$@" >/dev/null; e=$(date +%s%N)
    local ms=$(( (e - s) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

ours=$(instructions "$info" image-info "$hex")
theirs=$(instructions objcopy -I ihex -O binary "$hex" "$out/image.bin")
size=$(stat -c %s "$hex")
ours_ms=$(wall "$info" image-info "$hex")
theirs_ms=$(wall objcopy -I ihex -O binary "$hex" "$out/image.bin")
echo "text                $hex ($size bytes)"
echo "mova-update image-info $ours instructions, best wall ${ours_ms} ms"
echo "objcopy             $theirs instructions, best wall ${theirs_ms} ms"
awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "ratio               %.3f of objcopy'"'"'s instructions (1/%.1f)\n", a / b, b / a }'
