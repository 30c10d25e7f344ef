#!/usr/bin/env bash
# Installs the dependencies, builds, runs every test, runs them again under
# the sanitizers (the whole suite under AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer; the server's tests under ThreadSanitizer),
# fuzzes the codec for a while with a clang build of its own, then packages
# the programs from the first build and checks the packages. Fails if any
# step fails or any sanitizer reports anything. Ends with a table of each
# stage's seconds and one line that adds up every test run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
ctest_logs=$(mktemp -d)

stage_names=()
stage_seconds=()
stage_start=$SECONDS
stage_done() {
  stage_names+=("$1")
  stage_seconds+=($((SECONDS - stage_start)))
  stage_start=$SECONDS
}
passed=0
failed=0
report() {
  local status=$? i
  [[ $status -eq 0 ]] || stage_done "(failed here)"
  echo
  printf '%-22s %7s\n' stage seconds
  for i in "${!stage_names[@]}"; do
    printf '%-22s %7d\n' "${stage_names[$i]}" "${stage_seconds[$i]}"
  done
  printf '%-22s %7d\n' total "$SECONDS"
  rm -rf "$ctest_logs"
  echo "all test runs: $passed passed, $failed failed"
  exit "$status"
}
trap report EXIT

# ctest in the tree $1 with the further arguments; its counts go into the
# closing line.
run_ctest() {
  local dir=$1 log status=0
  shift
  log=$ctest_logs/$(basename "$dir").log
  QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log" || status=$?
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1) || true
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  return "$status"
}

scripts/install-deps.sh --test
stage_done install

# The first tree is configured as the packages need it (see
# scripts/package.sh), so that they are made from it at the end instead of
# from a build of their own.
scripts/build.sh -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_SYSCONFDIR=/etc
stage_done build
run_ctest build -j"$jobs"
stage_done test

# Builds the tree into folder $1 with the sanitizers $2 (and any further cmake
# arguments), then runs its tests. Every report, also one from a server
# process a test started, is written under $1/sanitizer-logs and fails the
# run, even when the test that caused it passed.
sanitized_run() {
  local dir=$1 sanitizers=$2
  shift 2
  local logs=$root/$dir/sanitizer-logs
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DMURMURLY_SANITIZE="$sanitizers" -DMURMURLY_BENCH=OFF "$@"
  rm -rf "$logs"
  mkdir -p "$logs"
  local common="halt_on_error=1:abort_on_error=1:disable_coredump=1:log_path=$logs/report"
  local status=0
  export ASAN_OPTIONS="$common:detect_leaks=1:check_initialization_order=1"
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="$common:print_stacktrace=1"
  export TSAN_OPTIONS="$common:second_deadlock_stack=1"
  # The build runs the GoogleTest executables to list their tests, so it
  # runs under the same options.
  cmake --build "$dir" -j"$jobs" || status=$?
  stage_done "build $dir"
  if [[ $status -eq 0 ]]; then
    run_ctest "$dir" -j"$jobs" || status=$?
    stage_done "test $dir"
  fi
  unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS
  if compgen -G "$logs/report*" >/dev/null; then
    echo "Sanitizer reports in $dir:"
    cat "$logs"/report*
    status=1
  fi
  return "$status"
}

sanitized_run build-asan address,undefined
sanitized_run build-tsan thread -DMURMURLY_SERVER_ONLY=ON

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMURMURLY_FUZZ_ONLY=ON
cmake --build build-fuzz -j"$jobs"
stage_done "build build-fuzz"
run_ctest build-fuzz
stage_done fuzz

scripts/check-install.sh build
stage_done packages
