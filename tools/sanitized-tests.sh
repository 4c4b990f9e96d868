#!/usr/bin/env bash
# The whole test suite under AddressSanitizer (with leak checks) and UndefinedBehaviorSanitizer,
# built with gcc into build-asan: bash tools/sanitized-tests.sh [extra ctest arguments]
# The environment of the run is the "asan" test preset's (CMakePresets.json):
#  - verify_asan_link_order=0: the discovery test runs under umockdev-wrapper, whose
#    LD_PRELOAD puts libumockdev-preload ahead of libasan; ASan would refuse to start.
#  - tools/lsan.supp: leaks of third-party libraries only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
start=$(date +%s)
cmake --preset asan
cmake --build --preset asan
built=$(date +%s)
set +e
ctest --preset asan "$@"
rc=$?
set -e
end=$(date +%s)
echo "sanitized-tests: build $((built - start)) s, tests $((end - built)) s, exit $rc"
exit $rc
