#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset, clang 14) and runs each for a while:
#   bash tools/fuzz.sh [seconds per target, default 60] [target ...]
# New inputs go to build-fuzz/corpus/<target> (the seeds in fuzz/corpus/<target> are only
# read); a crash leaves its input in build-fuzz/artifacts/<target>/ (emptied at each run's start)
# and makes the exit code 1.
# The summary gives each target's inputs per second, the figure that says how much a run of
# this length explored.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(fuzz_intel_hex fuzz_readout fuzz_battery fuzz_decimal_text fuzz_spin_text fuzz_device_text
    fuzz_device_renderings)

# The longest input each target is given (-max_len): what its code meets, no more, so that no
# run goes into lengths that only repeat what shorter inputs reach. A device's strings are
# short: its serial is four bytes and a USB string at most 255; the renderings take the
# serial's four bytes and a port path and a message of up to 46 bytes each (what a row or a
# record does with a text does not change with its length). A target not named here gets
# 4096.
declare -A max_len=(
  [fuzz_device_text]=256
  [fuzz_device_renderings]=96
)

bash tools/setup.sh --all # clang 14 and libFuzzer's runtime among the rest

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
  rm -rf "$artifacts" # what a run before this one found is not this run's finding
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  echo "== $t: ${seconds}s"
  # -jobs/-workers stay at one process: the machine's two cores are shared.
  set +e
  "build-fuzz/fuzz/$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="${max_len[$t]:-4096}" -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  set -e
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1 || true)
  # libFuzzer's final statistics; a run that crashed has none, its last status line has it.
  rate=$(awk '/^stat::average_exec_per_sec:/ { r = $2 } END { print r }' "$log")
  [ -n "$rate" ] || rate=$(grep -oE 'exec/s: [0-9]+' "$log" | tail -1 | cut -d' ' -f2 || true)
  crashes=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$rc" -ne 0 ] || [ "$crashes" -gt 0 ]; then
    status=1
    verdict="FOUND PROBLEMS (exit $rc, $crashes input(s) in $artifacts; log $log)"
    grep -E '^[a-z_]+: |ERROR: |runtime error|SUMMARY' "$log" | head -5 || true # a target's own check names what failed
  else
    verdict="no crashes"
  fi
  summary+=("$t: ${rate:-?} exec/s; ${done_line:-no 'Done' line (see $log)}; corpus $(find "$work" -type f | wc -l) files; $verdict")
done

echo
echo "fuzz summary (${seconds}s per target):"
printf '  %s\n' "${summary[@]}"
exit $status
