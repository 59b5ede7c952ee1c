#!/usr/bin/env bash
# Builds everything with AddressSanitizer (its leak check included) and
# UndefinedBehaviorSanitizer, and runs every test suite with it: the unit
# tests and the fuzz targets' inputs in process, and the program itself in
# the end-to-end tests. Any finding, in a test process or in a program a test
# ran, fails the script: besides ending that process with exit code 86, each
# report is written to a folder that must stay empty.
#
# Usage: scripts/run-sanitizers.sh [build folder (build-sanitize)]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-sanitize}"

scripts/install-packages.sh cmake make g++ pkg-config libgtest-dev libcap-dev libxml2-dev scdoc attr libcap2-bin
# Optimised a little and with line tables only: it builds in half the time,
# and the reports still name file and line.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DSTUBWARDEN_TESTS=ON \
  -DSTUBWARDEN_SANITIZE=ON
cmake --build "$build" -j"$(nproc)"

# Programs run as another account write here too.
reports="$(mktemp -d /tmp/stubwarden-sanitizer-XXXXXX)"
chmod 1777 "$reports"
export ASAN_OPTIONS="detect_leaks=1:exitcode=86:log_path=$reports/report:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="exitcode=86"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=86:log_path=$reports/report"

status=0
(cd "$build" && ctest --output-on-failure -j"$(nproc)") || status=$?
if compgen -G "$reports/report*" >/dev/null; then
  echo "Sanitizer reports:"
  cat "$reports"/report*
  status=1
fi
rm -rf "$reports"
exit "$status"
