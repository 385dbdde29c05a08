#!/usr/bin/env bash
# Installs what is missing, builds the console and its tests with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOCENTOR_SANITIZE=ON
cmake --build build-test
cd build-test
ctest --output-on-failure --timeout 600 -j "$(nproc)"
