#!/usr/bin/env bash
# Installs what is missing, builds the console and its tests with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test. Then
# the tests whose subject the sanitizers hide (they replace the system's
# allocator, so whether freed memory goes back to the system can only be seen
# without them) once more, in an optimised build of just those tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDOCENTOR_SANITIZE=ON
cmake --build build-test
(cd build-test && ctest --output-on-failure --timeout 600 -j "$(nproc)")

plainTests=(test_streammemory)
cmake -S . -B build-plain -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build-plain --target "${plainTests[@]}"
cd build-plain
ctest --output-on-failure --timeout 600 -R "^($(IFS='|'; echo "${plainTests[*]}"))\$"
