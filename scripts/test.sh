#!/usr/bin/env bash
# Installs the dependencies, builds, runs every test, then fuzzes the codec
# for a while with a clang build of its own. Fails if any step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
scripts/build.sh
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure

if [[ -f tests/fuzz/CMakeLists.txt ]]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMURMURLY_FUZZ_ONLY=ON
  cmake --build build-fuzz -j"$(nproc)"
  ctest --test-dir build-fuzz --output-on-failure
fi

scripts/check-install.sh
