#!/usr/bin/env bash
# Proves that the Debian package installs, grants and leaves as it must, on a
# clean Debian 12 machine:
#   - it installs with the dependencies it declares;
#   - /usr/bin/stubwarden is root:stubwarden 0750 with cap_dac_read_search+ep,
#     through a dpkg-statoverride, and keeps that over a reinstall;
#   - a member of the group stubwarden (not root) audits a tree below a
#     folder of mode 0700 that another account owns and gets the full report,
#     the same bytes as root's; the same program without the capability
#     cannot even read the target;
#   - the member's rehearsal (stubwarden-rehearse) of the installed program
#     on this volume holds every check, and its verdict notes that -fixphs
#     writes with the member's own rights;
#   - an account outside the group cannot execute the program, nor read it;
#   - the nightly audit: the account stubwarden-audit is a system account in
#     the group; a timer for a sample audit is enabled; the service's
#     command run as the unit runs it writes the journal line, the metrics
#     file and keeps the report; removal disables the timer;
#   - removal, and purge after it or alone, leave no file, group,
#     statoverride or capability behind.
#
# Usage:
#   scripts/check-package-install.sh
#       builds dist/ (scripts/build-packages.sh) and runs the checks in a
#       fresh Debian 12 chroot (scripts/check-fresh-debian.sh); as root.
#   scripts/check-package-install.sh --here <package.deb>
#       runs the checks on this machine, which they change (accounts, the
#       package installed and purged): what the chroot runs.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --here ]; then
  [ $# -eq 0 ] || { echo "usage: $0 [--here <package.deb>]" >&2; exit 64; }
  scripts/build-packages.sh
  packages=(dist/*.deb)
  [ ${#packages[@]} -eq 1 ] || { echo "$0: expected one package in dist/, found ${packages[*]}" >&2; exit 1; }
  # The chroot gets the project as a clone of a commit: one that adds the
  # package just built to this one.
  work="$(mktemp -d /tmp/stubwarden-package-check-XXXXXX)"
  trap 'rm -rf "$work"' EXIT
  git clone --quiet --no-hardlinks . "$work/repo"
  mkdir "$work/repo/dist"
  cp "${packages[0]}" "$work/repo/dist/"
  git -C "$work/repo" add --force dist
  git -C "$work/repo" -c user.name=check -c user.email=check@localhost commit --quiet -m "The package to check"
  scripts/check-fresh-debian.sh --repo "$work/repo" --no-tests \
    --run "scripts/check-package-install.sh --here ${packages[0]}"
  exit
fi

[ $# -eq 2 ] || { echo "usage: $0 --here <package.deb>" >&2; exit 64; }
if [ "$(id -u)" -ne 0 ]; then
  echo "$0: must run as root" >&2
  exit 1
fi

program=/usr/bin/stubwarden
group=stubwarden
owner=share-owner member=admin1 outsider=outsider
if dpkg-query -W stubwarden >/dev/null 2>&1 || getent group "$group" >/dev/null ||
   getent passwd "$owner" "$member" "$outsider" >/dev/null; then
  echo "$0: this machine is not clean: stubwarden, its group or the test accounts exist already" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

# The package where apt's unprivileged downloader may read it.
scratch="$(mktemp -d /tmp/stubwarden-install-XXXXXX)"
chmod 0755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
package="$scratch/$(basename "$2")"
cp "$2" "$package"
chmod 0644 "$package"
version="$(dpkg-deb -f "$package" Version)"

passed=0 failed=0
check() {
  local name="$1"
  shift
  if "$@"; then
    echo "ok: $name"
    passed=$((passed + 1))
  else
    echo "FAILED: $name"
    failed=$((failed + 1))
  fi
}
contains() {  # <part> <text>
  [[ "$2" == *"$1"* ]] && return 0
  printf 'expected a part: %s\n          in: %s\n' "$1" "$2"
  return 1
}
same() {  # <expected> <actual>
  [ "$1" = "$2" ] && return 0
  printf 'expected: %s\n  actual: %s\n' "$1" "$2"
  return 1
}

# What the package may change and must give back: every path on the root
# file system with its owner and mode, every file capability, the groups and
# the statoverrides. Package bookkeeping, caches, logs and temporary files
# are left out; so is the clone the checks run from.
snapshot() {
  find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /var/tmp \
    -o -path /var/cache -o -path /var/log -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /root \) -prune \
    -o -printf '%p %u:%g %m\n' | sort
  echo "--- capabilities"
  find / -xdev \( -path /proc -o -path /sys -o -path /dev \) -prune -o -type f -print0 | xargs -0 getcap | sort
  echo "--- accounts and groups"
  cat /etc/passwd /etc/group /etc/gshadow
  echo "--- statoverrides"
  dpkg-statoverride --list | sort || true  # exit code 1: none
  echo "--- files the package database holds for stubwarden"
  ls /var/lib/dpkg/info | grep '^stubwarden[.:]' || true
}

echo "== Installing what the package declares it depends on, and the accounts"
apt-get update -q
apt-get satisfy -y -q --no-install-recommends "$(dpkg-deb -f "$package" Depends)"
# systemctl and systemd-analyze, for the nightly audit's units.
apt-get install -y -q --no-install-recommends systemd
for account in "$owner" "$member" "$outsider"; do
  useradd --create-home --shell /bin/bash "$account"
done
before="$scratch/before"
snapshot >"$before"

echo "== Installing $package"
apt-get install -y -q --no-install-recommends "$package"
check "the package installs at version $version" same "install ok installed $version" \
  "$(dpkg-query -W -f='${Status} ${Version}' stubwarden)"
check "the group $group is a system group" \
  test "$(getent group "$group" | cut -d: -f3)" -lt 1000
check "$program is root:$group, mode 0750" same "root:$group 750" "$(stat -c '%U:%G %a' "$program")"
check "the owner and mode are a dpkg-statoverride" same "root $group 750 $program" \
  "$(dpkg-statoverride --list "$program")"
check "$program has cap_dac_read_search+ep" same "$program cap_dac_read_search=ep" "$(getcap "$program")"
for companion in $(dpkg -L stubwarden | grep '^/usr/bin/' | grep -vx "$program"); do
  check "$companion --version prints the package version" same "$(basename "$companion") $version" \
    "$("$companion" --version)"
  check "$companion may be run by every account" same "root:root 755" "$(stat -c '%U:%G %a' "$companion")"
done

echo "== Auditing a tree below a folder of mode 0700 that $owner owns"
install -d -m 0755 /srv/share
install -d -m 0700 -o "$owner" -g "$owner" /srv/share/private
runuser -u "$owner" -- stubwarden-tree /srv/share/private/tree /usr/share/doc/stubwarden/samples/sample-share.tree
chmod -R go-rwx /srv/share/private/tree
target='\\srv\share\private\tree'
audit() {  # <account> <program>: runs it in a fresh folder of the account; sets code, reportFile, error
  local folder
  folder="$(mktemp -d "$scratch/audit-XXXXXX")"
  chown "$1:" "$folder"
  code=0
  (cd "$folder" && runuser -u "$1" -- env TZ=UTC "$2" "$target" 2>"$folder.err") || code=$?
  reportFile="$(ls "$folder"/*.txt)"
  error="$(cat "$folder.err")"
}
audit root "$program"
rootCode=$code rootReport=$reportFile
adduser --quiet "$member" "$group"
audit "$member" "$program"
check "the member's audit ends with exit code 2, as root's" same "2 2" "$rootCode $code"
check "the member's report is root's, byte for byte" cmp "$rootReport" "$reportFile"
report="$(iconv -f UTF-16LE -t UTF-8 "$reportFile")"
check "it reads every file: 20 files, none failed" \
  test "${report#*$'Total files:20\r\nFailed to read:0\r\n'}" != "$report"
check "it holds every bad placeholder of the sample" same 9 "$(grep -c ': Invalid URL\|: Incorrect ' <<<"$report")"
cp "$program" "$scratch/no-capability"
chmod 0755 "$scratch/no-capability"
audit "$member" "$scratch/no-capability"
check "without the capability the member cannot read the target" same \
  "1 Error:GetFileAttributes:5, path:\\\\?\\UNC\\srv\\share\\private\\tree" "$code $error"

echo "== The member's rehearsal, which runs the installed program beside it"
code=0
verdict="$(runuser -u "$member" -- stubwarden-rehearse "/home/$member/rehearsal" 2>&1)" || code=$?
check "the rehearsal of the installed program holds every check" same 0 "$code"
[ "$code" -eq 0 ] || echo "$verdict"
# The member may not write root's files: the verdict says that -fixphs
# repairs with the member's own rights.
check "the member's verdict notes that the repair writes with the member's rights" \
  grep -q '^Note: -fixphs writes with the rights of the account that runs it' <<<"$verdict"

echo "== An account outside the group"
code=0
error="$(runuser -u "$outsider" -- "$program" "$target" 2>&1)" || code=$?
check "$outsider cannot execute $program" same "1 runuser: failed to execute $program: Permission denied" \
  "$code $error"
check "$outsider cannot read $program" bash -c "! runuser -u '$outsider' -- cat '$program' >/dev/null 2>&1"

echo "== The nightly audit of the sample tree"
audit_account=stubwarden-audit
check "$audit_account is a system account in the group $group" same "$group yes" \
  "$(id -gn "$audit_account") $([ "$(id -u "$audit_account")" -lt 1000 ] && echo yes)"
check "systemd-analyze verifies the units" systemd-analyze verify --man=no \
  /lib/systemd/system/stubwarden-audit@.service /lib/systemd/system/stubwarden-audit@.timer
printf 'TARGET=%s\nKEEP_DAYS=7\n' "$target" >/etc/stubwarden/audits/sample.conf
systemctl enable stubwarden-audit@sample.timer 2>/dev/null
check "the sample audit's timer is enabled" same enabled "$(systemctl is-enabled stubwarden-audit@sample.timer)"
# The service's command as the unit runs it (no systemd runs here): its
# account and group, the capability it hands in, no new privileges, its
# state folder as StateDirectory= makes it, its environment.
install -d -m 0755 /var/lib/prometheus/node-exporter
chown "$audit_account:" /var/lib/prometheus/node-exporter
install -d -m 0755 /var/lib/stubwarden
install -d -m 0750 -o "$audit_account" -g "$group" /var/lib/stubwarden/sample
code=0
journal="$(cd /var/lib/stubwarden/sample && env -i PATH=/usr/bin:/bin setpriv --reuid="$audit_account" \
  --regid="$group" --init-groups --inh-caps=-all,+dac_read_search --ambient-caps=-all,+dac_read_search \
  --bounding-set=-all,+dac_read_search --no-new-privs /usr/lib/stubwarden/audit-run sample)" || code=$?
kept="$(ls /var/lib/stubwarden/sample/*.txt)"
check "the audit ends with exit code 2, which fails the unit" same 2 "$code"
check "the journal line is the kept report's summary" same "audit=sample $(stubwarden-report --summary "$kept")" "$journal"
check "it read every file: 20 files, none failed" contains " total_files=20 failed_to_read=0 " "$journal"
check "it holds every bad placeholder of the sample, and repaired none" \
  contains " bad_placeholders=9 unfixable_placeholders=8 fixed_placeholders=0 " "$journal"
check "the metrics file is the report's" same "$(stubwarden-report --prometheus "$kept")" \
  "$(cat /var/lib/prometheus/node-exporter/stubwarden-sample.prom)"

echo "== Reinstalling, as an upgrade unpacks the program anew"
apt-get install -y -q --reinstall "$package"
check "after the reinstall: root:$group 0750 and the capability" same "root:$group 750 $program cap_dac_read_search=ep" \
  "$(stat -c '%U:%G %a' "$program") $(getcap "$program")"

rm -rf /srv/share /var/lib/prometheus
gpasswd --delete "$member" "$group" >/dev/null

echo "== Removing, then purging"
files="$(dpkg -L stubwarden)"
apt-get remove -y -q stubwarden
left() {  # the package's files and its own folders that are still there
  local path
  while read -r path; do
    if [ -e "$path" ] && { [ ! -d "$path" ] || [[ "$path" == */stubwarden* ]]; }; then
      echo "$path"
    fi
  done <<<"$files"
}
check "removal leaves none of the package's files" same "" "$(left)"
check "removal disables the sample audit's timer" test ! -e /etc/systemd/system/timers.target.wants/stubwarden-audit@sample.timer
apt-get purge -y -q stubwarden
check "purge leaves no group $group" bash -c "! getent group '$group'"
check "purge leaves no account $audit_account, no settings, no kept reports" \
  bash -c "! getent passwd '$audit_account' && [ ! -e /etc/stubwarden ] && [ ! -e /var/lib/stubwarden ]"
check "purge leaves no statoverride" bash -c "! dpkg-statoverride --list '$program'"
check "removal and purge give back the machine as it was" diff -u "$before" <(snapshot)

echo "== Installing again and purging at once"
apt-get install -y -q --no-install-recommends "$package"
adduser --quiet "$member" "$group"
apt-get purge -y -q stubwarden
check "purge alone gives back the machine as it was" diff -u "$before" <(snapshot)

for account in "$owner" "$member" "$outsider"; do
  userdel --remove "$account" 2>/dev/null
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
