#!/usr/bin/env bash
# Cross-builds the Windows executables with MinGW-w64: build-windows/stubwarden.exe
# and its companions stubwarden-tree.exe and stubwarden-rehearse.exe.
set -euo pipefail
cd "$(dirname "$0")/.."

# scdoc and groff make the manual pages into text for the zip.
scripts/install-packages.sh cmake make g++-mingw-w64-x86-64-posix scdoc groff-base nlohmann-json3-dev
# The toolchain is read by the first configure only, and kept in the cache;
# given again, CMake would warn that it went unused.
toolchain=()
[ -f build-windows/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
cmake -S . -B build-windows "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DSTUBWARDEN_TESTS=OFF
cmake --build build-windows -j"$(nproc)"
