#!/usr/bin/env bash
# Installs the dependencies, builds, runs every test, runs them again under
# the sanitizers (the whole suite under AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer; the server's tests under ThreadSanitizer), then
# fuzzes the codec for a while with a clang build of its own. Fails if any
# step fails or any sanitizer reports anything.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-deps.sh --test
scripts/build.sh
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure

# Builds the tree into folder $1 with the sanitizers $2 (and any further cmake
# arguments), then runs its tests. Every report, also one from a server
# process a test started, is written under $1/sanitizer-logs and fails the
# run, even when the test that caused it passed.
sanitized_run() {
  local dir=$1 sanitizers=$2
  shift 2
  local logs=$root/$dir/sanitizer-logs
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DMURMURLY_SANITIZE="$sanitizers" "$@"
  rm -rf "$logs"
  mkdir -p "$logs"
  local common="halt_on_error=1:abort_on_error=1:disable_coredump=1:log_path=$logs/report"
  local status=0
  (
    export ASAN_OPTIONS="$common:detect_leaks=1:check_initialization_order=1"
    export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="$common:print_stacktrace=1"
    export TSAN_OPTIONS="$common:second_deadlock_stack=1"
    # The build runs the GoogleTest executables to list their tests, so it
    # runs under the same options.
    cmake --build "$dir" -j"$jobs" &&
      QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure -j"$jobs"
  ) || status=$?
  if compgen -G "$logs/report*" >/dev/null; then
    echo "Sanitizer reports in $dir:"
    cat "$logs"/report*
    status=1
  fi
  return "$status"
}

sanitized_run build-asan address,undefined
sanitized_run build-tsan thread -DMURMURLY_SERVER_ONLY=ON

if [[ -f tests/fuzz/CMakeLists.txt ]]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMURMURLY_FUZZ_ONLY=ON
  cmake --build build-fuzz -j"$(nproc)"
  ctest --test-dir build-fuzz --output-on-failure
fi

scripts/check-install.sh
