#!/usr/bin/env bash
# Builds Stubwarden and its benchmarks, makes the benchmark trees once (in
# /var/tmp/stubwarden-bench, about 600,000 files taking little space) and
# prints the figures. Extra arguments go to bench/run_bench.py (--runs N,
# --trees FOLDER).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh python3 time strace findutils attr
scripts/build.sh stubwarden make_bench_tree floor_walker
python3 bench/run_bench.py --build build "$@"
