#!/usr/bin/env bash
# Builds everything and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

# The tests create files with extended attributes, run the program as an
# unprivileged user, give a copy of it a file capability and convert times in
# named zones; the Samba suite runs smbd (with its streams_xattr module) and
# smbclient; the Wine suites run the Windows executable under Wine; the
# package suite reads the release artefacts with dpkg-deb, man, lintian,
# unzip and wrestool (icoutils); the ntfs-3g suite makes NTFS images with
# mkntfs and mounts them with ntfs-3g (both of the package ntfs-3g).
scripts/install-packages.sh attr libcap2-bin strace tzdata wine64 man-db lintian unzip icoutils ntfs-3g
scripts/install-samba.sh
# The stubwarden-report tests check their metrics with promtool; the units'
# tests verify them with systemd-analyze (package systemd).
scripts/install-promtool.sh
scripts/install-packages.sh systemd
scripts/build.sh
scripts/build-windows.sh
# The Debian package and the Windows zip, into dist/.
scripts/build-packages.sh
(cd build && ctest --output-on-failure -j"$(nproc)")
# The same suites with AddressSanitizer (and its leak check) and
# UndefinedBehaviorSanitizer, then each fuzz target for about a minute.
scripts/run-sanitizers.sh
scripts/run-fuzzers.sh 60
