#!/usr/bin/env bash
# Builds Stubwarden and its benchmarks, makes the benchmark trees once (in
# /var/tmp/stubwarden-bench, about 600,000 files taking little space) and
# prints the figures; as root with /dev/fuse, also on an NTFS image mounted
# with ntfs-3g and the build's plugin. Extra arguments go to
# bench/run_bench.py (--runs N, --trees FOLDER, --ntfs-only).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh python3 time strace findutils attr ntfs-3g util-linux
scripts/build.sh stubwarden make_bench_tree floor_walker ntfs3g_placeholder_plugin
python3 bench/run_bench.py --build build "$@"
