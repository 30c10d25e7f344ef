#!/usr/bin/env bash
# Configures and builds the client, the server and the tests into ./build.
# With --no-tests: only the two programs (no GTest needed).
set -euo pipefail
cd "$(dirname "$0")/.."

testing=ON
if [[ ${1:-} == --no-tests ]]; then
  testing=OFF
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING="$testing"
cmake --build build -j"$(nproc)"
