#!/usr/bin/env bash
# Builds the two release artefacts into dist/:
#   stubwarden_<version>_amd64.deb   the Debian package, from a Linux build
#                                    with Debian's build flags (build-package/)
#   stubwarden-<version>-win64.zip   the Windows zip, from the MinGW build
#                                    (build-windows/, scripts/build-windows.sh)
#   stubwarden-sample-ntfs.vhdx      the sample share on an NTFS volume, and
#   stubwarden-sample-ntfs-report.txt  the report it gives, for a Windows
#                                    machine (scripts/make-sample-ntfs-disk.sh;
#                                    as root with /dev/fuse only)
# Both carry the project version of CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

# dpkg-dev: dpkg-buildflags, and dpkg-shlibdeps for the package's
# dependencies, which needs file to tell the programs from the rest.
# ntfs-3g-dev: the header of ntfs-3g's plugins, for the package's plugin.
scripts/install-packages.sh cmake make g++ pkg-config libcap-dev libxml2-dev scdoc nlohmann-json3-dev dpkg-dev file ntfs-3g-dev
# The manual pages' date, and so the package, follow the last commit.
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"
export SOURCE_DATE_EPOCH

# Only the flags Debian builds its packages with, with every hardening
# feature (bindnow too: the GOT is read-only in a program with a capability).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=None -DSTUBWARDEN_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build build-package -j"$(nproc)"
rm -rf build-package/packages
(cd build-package && cpack)

scripts/build-windows.sh
rm -rf build-windows/packages
(cd build-windows && cpack)

rm -rf dist
mkdir dist
cp build-package/packages/*.deb build-windows/packages/*.zip dist/
scripts/make-sample-ntfs-disk.sh build-package dist

# What they hold, and lintian's view of the package (the package suite,
# ctest -L package, checks both).
scripts/install-packages.sh lintian unzip
for deb in dist/*.deb; do
  echo "=== $deb"
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  echo "=== lintian $deb"
  lintian --allow-root --display-info --pedantic "$deb" || true
done
for zip in dist/*.zip; do
  echo "=== $zip"
  unzip -l "$zip"
done
