#!/usr/bin/env bash
# Installs what is missing, builds an optimised console and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDOCENTOR_TESTS=OFF
cmake --build build-release --target docentor agentsim
exec build-release/docentor "$@"
