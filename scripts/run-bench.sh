#!/usr/bin/env bash
# Builds Stubwarden and its benchmarks, makes the benchmark trees once (in
# /var/tmp/stubwarden-bench, about 600,000 files taking little space) and
# prints the figures. Extra arguments go to bench/run_bench.py (--runs N,
# --trees FOLDER).
#
# --without-share-table (first): the figures of a host without Samba's
# testparm, so that Stubwarden's UNC target keeps its literal meaning with no
# share table read at its start (platform/posix/samba_shares.h). The run is
# made in a mount namespace of its own in which testparm is hidden; nothing
# outside it sees that. Needs root (unshare -m).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh python3 time strace findutils attr util-linux
scripts/build.sh stubwarden make_bench_tree floor_walker
if [[ "${1:-}" == --without-share-table ]]; then
  shift
  exec unshare -m sh -c '
    for program in /usr/bin/testparm /usr/local/bin/testparm /usr/local/samba/bin/testparm; do
      if [ -e "$program" ]; then mount --bind /dev/null "$program" || exit 1; fi
    done
    exec python3 bench/run_bench.py --build build "$@"' sh "$@"
fi
python3 bench/run_bench.py --build build "$@"
