#!/usr/bin/env bash
# Builds Stubwarden, builds the bundled sample share (placeholders of every
# kind, ordinary files, a symbolic link, nested archive points) and audits it
# three times: the normal mode, -v -d, and -archiveusage. Each report is shown
# as text; the report files stay in sample/reports/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh attr
scripts/build.sh stubwarden stubwarden-tree

root="$PWD/sample"
rm -rf "$root"
mkdir -p "$root/reports"
build/stubwarden-tree "$root/share" samples/sample-share.tree

# The program takes the share as a UNC path: \\server\share\... names the
# Linux folder /server/share/...
target="\\${root//\//\\}\\share"

audit() {
  local folder="$root/reports/$1"
  shift
  mkdir -p "$folder"
  echo
  echo "=== stubwarden $* $target"
  local code=0
  (cd "$folder" && "$OLDPWD/build/stubwarden" "$@" "$target") || code=$?
  echo
  for report in "$folder"/*.txt; do
    echo "--- $report (UTF-16LE, shown as UTF-8), exit code $code"
    iconv -f UTF-16LE -t UTF-8 "$report"
  done
}

audit normal
audit verbose-dump -v -d
audit archive-usage -archiveusage

echo
echo "Reports are in $root/reports/. View one with: iconv -f UTF-16LE -t UTF-8 <report>"
