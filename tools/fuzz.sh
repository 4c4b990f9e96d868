#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset, clang 14) and runs each for a while:
#   bash tools/fuzz.sh [seconds per target, default 60] [target ...]
# New inputs go to build-fuzz/corpus/<target> (the seeds in fuzz/corpus/<target> are only
# read); a crash leaves its input in build-fuzz/artifacts/<target>/ and makes the exit code 1.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_intel_hex fuzz_readout fuzz_battery fuzz_decimal_text fuzz_spin_text)

missing=()
for p in clang-14 libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "fuzz: installing ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp:print_suppressions=0}

status=0
summary=()
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t
  artifacts=build-fuzz/artifacts/$t
  log=build-fuzz/logs/$t.log
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  echo "== $t: ${seconds}s"
  # -jobs/-workers stay at one process: the machine's two cores are shared.
  set +e
  "build-fuzz/fuzz/$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  set -e
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1 || true)
  crashes=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$rc" -ne 0 ] || [ "$crashes" -gt 0 ]; then
    status=1
    verdict="FOUND PROBLEMS (exit $rc, $crashes input(s) in $artifacts; log $log)"
    grep -E 'ERROR: |runtime error|SUMMARY' "$log" | head -5 || true
  else
    verdict="no crashes"
  fi
  summary+=("$t: ${done_line:-no 'Done' line (see $log)}; corpus $(find "$work" -type f | wc -l) files; $verdict")
done

echo
echo "fuzz summary (${seconds}s per target):"
printf '  %s\n' "${summary[@]}"
exit $status
