#!/usr/bin/env bash
# Installs promtool, which the stubwarden-report tests use to check the
# metrics they write: Debian ships it in the package prometheus, whose
# installation also starts and enables the Prometheus server. A test run
# must not leave a server behind, so the install runs with a policy-rc.d
# that lets no service start (when the machine has none of its own), and a
# server that was not enabled before is disabled again.
set -euo pipefail

command -v promtool >/dev/null && exit 0
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

# systemctl answers is-enabled and disables without a running systemd too.
was_enabled=""
if command -v systemctl >/dev/null; then
  was_enabled=$(systemctl is-enabled prometheus 2>/dev/null || true)
fi
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# scripts/install-promtool.sh: no service starts while prometheus installs\nexit 101\n' |
    $sudo tee "$policy" >/dev/null
  $sudo chmod 0755 "$policy"
  own_policy=1
fi
status=0
"$(dirname "$0")/install-packages.sh" prometheus || status=$?
if [ "$own_policy" -eq 1 ]; then
  $sudo rm -f "$policy"
fi
if command -v systemctl >/dev/null; then
  case "$was_enabled" in
    enabled|enabled-runtime|static|alias) ;;
    *) $sudo systemctl disable prometheus >/dev/null 2>&1 || true ;;
  esac
  if [ -d /run/systemd/system ]; then
    $sudo systemctl stop prometheus 2>/dev/null || true
  fi
fi
exit "$status"
