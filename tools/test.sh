#!/usr/bin/env bash
# Builds everything and runs the tests: bash tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
# The benchmarks are no part of the suite: they are left out here (CI builds them itself).
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQTX_BUILD_BENCH=OFF
cmake --build build -j2
cd build
# Twelve at a time on any machine: the tests spend their time waiting on the emulated device's
# own pace, not on the processor.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j12 -LE long
