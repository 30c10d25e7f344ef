#!/usr/bin/env bash
# Configures and builds the client, the server and the tests into ./build.
# With --no-tests: only the two programs (no GTest needed). Any further
# arguments go to cmake's configure step, for example the install prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

testing=ON
if [[ ${1:-} == --no-tests ]]; then
  testing=OFF
  shift
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING="$testing" "$@"
cmake --build build -j"$(nproc)"
