#!/usr/bin/env bash
# Proves that the README's test command passes on a clean Debian 12 machine,
# as a new user would run it: in a fresh copy of a minimal Debian 12 chroot,
# root installs git, clones the project below a folder of mode 0700 (as root's
# home is) and runs scripts/run-tests.sh there. Every check starts from an
# untouched copy of a cached debootstrap base; the copy is removed afterwards.
#
# Usage: scripts/check-fresh-debian.sh [options]
#   --repo PATH   the repository to clone, at its HEAD commit (default: this one)
#   --run CMD     run CMD (bash, as root, in the clone) after the tests; repeatable
#   --no-tests    run only the --run commands, not scripts/run-tests.sh
#   --keep        leave the copy in place for inspection
#   --refresh     remake the cached base first
# Exit code: the first non-zero exit code of the test command and the --run
# commands, in that order; 0 if all passed.
#
# After the commands, the copy, which has systemd's tools as a booted Debian
# has, must have smbd and nmbd neither running nor enabled (for the next
# boot) unless they were before: installing samba enables and, on a booted
# machine, starts them on every interface.
#
# Must run as root (debootstrap, mounts, chroot).
set -euo pipefail

cache=/var/tmp/stubwarden-fresh-debian
base="$cache/base"
mirror=http://deb.debian.org/debian
self="$(readlink -f "${BASH_SOURCE[0]}")"

if [ "$(id -u)" -ne 0 ]; then
  echo "$0: must run as root (debootstrap, mount, chroot)" >&2
  exit 1
fi

# Everything from here on runs in a mount namespace of its own: no mount made
# for the chroot is seen outside, and even a killed run leaves none behind.
if [ "${STUBWARDEN_FRESH_NAMESPACE:-}" != "$$" ]; then
  STUBWARDEN_FRESH_NAMESPACE=$$ exec unshare --mount --propagation private -- "$self" "$@"
fi

repo="$(dirname "$self")/.."
commands=()
tests=1
keep=0
refresh=0
while [ $# -gt 0 ]; do
  case "$1" in
    --repo) repo="${2:?--repo needs a path}"; shift 2 ;;
    --run) commands+=("${2:?--run needs a command}"); shift 2 ;;
    --no-tests) tests=0; shift ;;
    --keep) keep=1; shift ;;
    --refresh) refresh=1; shift ;;
    *) echo "usage: $0 [--repo PATH] [--run CMD]... [--no-tests] [--keep] [--refresh]" >&2; exit 64 ;;
  esac
done

repo="$(git -C "$repo" rev-parse --show-toplevel)"
commit="$(git -C "$repo" rev-parse HEAD)"
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
  echo "Note: $repo has uncommitted changes; the check clones its HEAD commit only."
fi
"$repo/scripts/install-packages.sh" debootstrap
mkdir -p "$cache"

# The base: made once (under a lock, and renamed into place only when
# complete), reused by every later check.
exec 9>"$cache/base.lock"
flock 9
if [ "$refresh" -eq 1 ]; then
  rm -rf --one-file-system "$base"
fi
if [ ! -d "$base" ]; then
  rm -rf --one-file-system "$base.partial"
  echo "Making the Debian 12 base in $base (debootstrap --variant=minbase)"
  debootstrap --variant=minbase bookworm "$base.partial" "$mirror"
  mv "$base.partial" "$base"
fi
flock -u 9

copy="$(mktemp -d "$cache/check-$(date +%Y%m%d-%H%M%S)-XXXXXX")"
log="$copy.log"

# Ends what still runs in the copy (wineserver, a test's smbd), undoes every
# mount below it and removes it unless --keep was given; on every exit path.
cleanup() {
  local status=$? pid root round found
  trap - EXIT INT TERM
  for round in TERM KILL; do
    found=0
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
      root="$(readlink "/proc/$pid/root" 2>/dev/null)" || continue
      if [ "$root" = "$copy" ] || [[ "$root" == "$copy/"* ]]; then
        kill -s "$round" "$pid" 2>/dev/null && found=1
      fi
    done
    [ "$found" -eq 1 ] && [ "$round" = TERM ] && sleep 2
  done
  if findmnt -rn -o TARGET | grep -qE "^$copy(/|$)"; then
    umount -R "$copy" 2>/dev/null || umount -R -l "$copy"
  fi
  if findmnt -rn -o TARGET | grep -qE "^$copy(/|$)"; then
    echo "Something is still mounted below $copy; it is left in place." >&2
  elif [ "$keep" -eq 1 ]; then
    echo "The copy is kept in $copy"
  else
    rm -rf --one-file-system "$copy"
  fi
  echo "Full output: $log"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "Copying the base to $copy"
cp -a "$base/." "$copy/"
chmod 0755 "$copy"

# The copy's root is a mount point (the tests make / a private mount in
# namespaces of their own, which needs one), with the kernel file systems a
# booted machine has. /tmp stays the copy's own folder on disk, as on Debian
# 12, where sparse files of several GiB fit.
mount --bind "$copy" "$copy"
mount -t proc proc "$copy/proc"
mount -t sysfs sysfs "$copy/sys"
mount --bind /dev "$copy/dev"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$copy/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$copy/dev/shm"

# What the installer would have set up: the name server, /etc/hosts, and
# apt's sources (those of this host: bookworm, its updates and security).
cp -L /etc/resolv.conf "$copy/etc/resolv.conf"
cat >"$copy/etc/hosts" <<EOF
127.0.0.1	localhost
127.0.1.1	$(hostname)
::1		localhost ip6-localhost ip6-loopback
EOF
rm -f "$copy/etc/apt/sources.list"
cat >"$copy/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
# A chroot has no init: packages' services (samba's smbd and nmbd) must not
# be started by their installation here.
printf '#!/bin/sh\nexit 101\n' >"$copy/usr/sbin/policy-rc.d"
chmod 0755 "$copy/usr/sbin/policy-rc.d"

# The project, as a bundle of its HEAD commit, for git inside to clone.
git -C "$repo" bundle create -q "$copy/root/stubwarden.bundle" HEAD

# Runs a shell command as root in the copy with the environment of a fresh
# login (nothing of this host's), and appends its output to the log. It runs
# as a background job so that a signal to this script is acted on at once.
inside() {
  chroot "$copy" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -lc "$1" \
    > >(tee -a "$log") 2>&1 </dev/null &
  wait "$!"
}

echo "Cloning $repo at $commit into /root/private/stubwarden"
inside 'set -e
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends git systemd
  install -d -m 0700 /root/private
  git -c advice.detachedHead=false clone --quiet /root/stubwarden.bundle /root/private/stubwarden
  rm /root/stubwarden.bundle'

# smbd's and nmbd's state in the copy: whether systemd starts them at boot,
# and whether one runs now (a process whose root is the copy; the host's
# own, and other copies', do not count).
smb_services() {
  local unit enabled running pid
  for unit in smbd nmbd; do
    enabled="$(chroot "$copy" systemctl is-enabled "$unit" 2>/dev/null || true)"
    running=stopped
    for pid in $(pgrep -x "$unit" || true); do
      [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$copy" ] && running=running
    done
    echo "$unit ${enabled:-not-found} $running"
  done
}
smb_before="$(smb_services)"

result=0
if [ "$tests" -eq 1 ]; then
  started=$(date +%s)
  status=0
  inside 'cd /root/private/stubwarden && scripts/run-tests.sh' || status=$?
  echo "scripts/run-tests.sh: exit code $status after $(( $(date +%s) - started )) s" | tee -a "$log"
  result=$status
fi
for command in "${commands[@]}"; do
  status=0
  inside "cd /root/private/stubwarden && { $command
}" || status=$?
  echo "--run '$command': exit code $status" | tee -a "$log"
  [ "$result" -ne 0 ] || result=$status
done

# No SMB server left behind that was not there before, now or after a boot.
smb_after="$(smb_services)"
smb_left=0
while read -r unit enabled running; do
  read -r _ enabled_before running_before < <(grep "^$unit " <<<"$smb_before")
  case "$enabled" in
    enabled|enabled-runtime) [ "$enabled_before" = "$enabled" ] || smb_left=1 ;;
  esac
  [ "$running" = stopped ] || [ "$running_before" = running ] || smb_left=1
done <<<"$smb_after"
if [ "$smb_left" -eq 0 ]; then
  echo "smbd and nmbd as before the commands: $(tr '\n' ';' <<<"$smb_after")" | tee -a "$log"
else
  printf 'An SMB server is left behind (unit, enabled, running):\nbefore:\n%s\nafter:\n%s\n' \
    "$smb_before" "$smb_after" | tee -a "$log"
  [ "$result" -ne 0 ] || result=1
fi

# Tests that skipped themselves (a test skips what this machine cannot do,
# and says why in the full output): a passing run should still show them.
for last in "$copy"/root/private/stubwarden/build*/Testing/Temporary/LastTest.log; do
  [ -f "$last" ] || continue
  skipped="$(grep -E '^\[  SKIPPED \] [A-Za-z]' "$last" | sed 's/ ([0-9]* ms)$//' | sort -u || true)"
  folder="${last#"$copy"/root/private/stubwarden/}"
  if [ -n "$skipped" ]; then
    printf 'Skipped in %s:\n%s\n' "${folder%%/*}" "$skipped" | tee -a "$log"
  else
    echo "No test skipped in ${folder%%/*}" | tee -a "$log"
  fi
done
exit "$result"
