#!/usr/bin/env bash
# Installs the Samba the interop suite runs: a release that keeps reparse
# points (4.22 or later), with its vfs modules, smbclient and Samba's own
# Python client. Debian 12 has 4.17, which has no reparse point support; its
# bookworm-backports archive has 4.22, which this adds when it is missing.
# Debian 13 and later have 4.22 or newer in their own archive.
#
# Installing samba on a booted machine starts and enables smbd and nmbd on
# every interface. A test run must not leave an SMB server behind, so a
# service that was neither running nor enabled before is stopped and
# disabled again afterwards (the suite starts its own smbd on loopback).
# Where systemd's tools are installed but systemd does not run (a chroot, a
# container being built), the package still enables the services for the
# next boot; they are disabled the same way.
set -euo pipefail

packages=(samba samba-vfs-modules smbclient python3-samba)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  elif ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' "$package")" ge 2:4.22; then
    missing+=("$package")  # an older release, without reparse points
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

# What smbd and nmbd were before: enabled where systemd's tools are, running
# where systemd runs.
declare -A was_active was_enabled
have_systemctl=0
systemd_runs=0
if command -v systemctl >/dev/null; then
  have_systemctl=1
  [ -d /run/systemd/system ] && systemd_runs=1
  for unit in smbd nmbd samba-ad-dc; do
    was_active[$unit]=$([ "$systemd_runs" -eq 1 ] && systemctl is-active "$unit" 2>/dev/null || true)
    was_enabled[$unit]=$(systemctl is-enabled "$unit" 2>/dev/null || true)
  done
fi

release=()
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ "$codename" = bookworm ]; then
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    $sudo tee /etc/apt/sources.list.d/stubwarden-bookworm-backports.sources >/dev/null <<SOURCES
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  fi
  release=(-t bookworm-backports)
fi

echo "Installing: ${missing[*]} ${release[*]}"
$sudo apt-get update -q
$sudo apt-get install -y --no-install-recommends "${release[@]}" "${missing[@]}"

if [ "$have_systemctl" -eq 1 ]; then
  for unit in smbd nmbd samba-ad-dc; do
    # No unit of that name: nothing to say (is-enabled works without systemd
    # running, where "systemctl cat" does not).
    [ -n "$(systemctl is-enabled "$unit" 2>/dev/null || true)" ] || continue
    if [ "$systemd_runs" -eq 1 ] && [ "${was_active[$unit]}" != active ]; then
      $sudo systemctl stop "$unit" 2>/dev/null || true
    fi
    case "${was_enabled[$unit]}" in
      enabled|enabled-runtime|static|alias) ;;
      masked) $sudo systemctl mask "$unit" >/dev/null 2>&1 || true ;;
      *) $sudo systemctl disable "$unit" >/dev/null 2>&1 || true ;;
    esac
  done
fi
