#!/usr/bin/env bash
# Builds everything and runs the tests: bash tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
cd build
# Six at a time on any machine: the tests spend their time waiting on the emulated device's
# own pace, not on the processor.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j6 -LE long
