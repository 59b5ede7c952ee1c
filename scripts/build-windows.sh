#!/usr/bin/env bash
# Cross-builds the Windows executables with MinGW-w64: build-windows/stubwarden.exe
# and its companions stubwarden-tree.exe and stubwarden-rehearse.exe.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh cmake make g++-mingw-w64-x86-64-posix nlohmann-json3-dev
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DSTUBWARDEN_TESTS=OFF
cmake --build build-windows -j"$(nproc)"
