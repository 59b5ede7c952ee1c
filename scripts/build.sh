#!/usr/bin/env bash
# Builds the Linux program, its companion tools and the tests into build/.
# Arguments, if any, name the targets to build (default: everything).
set -euo pipefail
cd "$(dirname "$0")/.."

# ntfs-3g-dev: the header of ntfs-3g's plugins (ntfs3g-plugin/).
scripts/install-packages.sh cmake make g++ pkg-config libgtest-dev libcap-dev libxml2-dev scdoc nlohmann-json3-dev ntfs-3g-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTUBWARDEN_TESTS=ON
targets=()
for target in "$@"; do
  targets+=(--target "$target")
done
cmake --build build -j"$(nproc)" "${targets[@]}"
