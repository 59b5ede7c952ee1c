#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time from its
# seed corpus (fuzz/corpus/<target>) and the inputs that once made it fail
# (fuzz/regressions/<target>). An input that fails now is kept in
# <build folder>/findings/<target>/ and ends the script with exit code 1.
#
# Usage: scripts/run-fuzzers.sh [seconds per target (60)] [build folder (build-fuzz)]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build="${2:-build-fuzz}"

scripts/install-packages.sh cmake make clang-14 libclang-rt-14-dev pkg-config libcap-dev libxml2-dev scdoc
# A cache made with another compiler would be thrown away together with the
# options given here.
rm -f "$build/CMakeCache.txt"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DSTUBWARDEN_FUZZ=ON -DSTUBWARDEN_TESTS=OFF
# The largest input worth trying: a reparse record may be 16 KiB, and one
# byte more must be refused.
declare -A maxLength=([reparse_record]=16400 [dosattrib]=512 [marker]=8192 [path_conversion]=4096)
# Lengths up to the largest from the start, rather than grown slowly, where
# the edges lie far out.
declare -A lengthControl=([reparse_record]=0 [dosattrib]=100 [marker]=100 [path_conversion]=100)
targets=(reparse_record dosattrib marker path_conversion)
for target in "${targets[@]}"; do
  cmake --build "$build" -j"$(nproc)" --target "${target}_fuzzer"
done

failed=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  log="$build/$target.log"
  rm -rf "$corpus" "$findings"
  mkdir -p "$corpus" "$findings"
  cp fuzz/corpus/"$target"/* "$corpus"/
  if [ -d fuzz/regressions/"$target" ]; then
    cp fuzz/regressions/"$target"/* "$corpus"/
  fi
  status=0
  "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len="${maxLength[$target]}" \
    -len_control="${lengthControl[$target]}" -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?
  executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  if [ "$status" -eq 0 ] && [ -z "$executions" ]; then
    echo "FAILED: $target did not run as a libFuzzer program"
    failed=1
  elif [ "$status" -ne 0 ]; then
    failed=1
    echo "FAILED: $target (exit code $status); its input is in $findings/"
    tail -n 60 "$log"
  else
    echo "$target: ${executions:-?} executions in ${seconds} s, no failure"
  fi
done
exit "$failed"
