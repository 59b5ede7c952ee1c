#!/usr/bin/env bash
# Makes the sample share on a real NTFS volume, for the Windows build:
#   dist/stubwarden-sample-ntfs.vhdx        a 32 MiB disk, one MBR partition
#                                           (type 7, from 1 MiB) with an NTFS
#                                           volume holding share\, the sample
#                                           share built by stubwarden-tree
#   dist/stubwarden-sample-ntfs-report.txt  the Linux run's normal report of
#                                           that share, the report stubwarden.exe
#                                           gives on it (docs/ntfs-volumes.md)
# The volume is made by mkntfs in a file of the partition's size, filled
# through ntfs-3g (FUSE) in a mount namespace of this script's own, with the
# ntfs-3g plugin of the build tree in the place of ntfs-3g's plugin folder,
# and copied into the disk at the partition's offset: no loop device, no
# udev. Needs root and /dev/fuse; without them it says why on one line and
# makes nothing (exit code 0).
#
#   scripts/make-sample-ntfs-disk.sh <build folder> <dist folder>
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "$1")"
dist="$(realpath "$2")"

why=""
if [ "$(id -u)" -ne 0 ]; then
  why="not root (ntfs-3g mounts through FUSE as root)"
elif [ ! -c /dev/fuse ] || [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then
  why="no /dev/fuse here"
elif ! unshare --mount --propagation private true 2>/dev/null; then
  why="no mount namespace of its own here"
fi
if [ -n "$why" ]; then
  echo "stubwarden-sample-ntfs.vhdx not made: $why"
  exit 0
fi
# ntfs-3g: mkntfs, ntfs-3g; qemu-utils: qemu-img; fdisk: sfdisk.
scripts/install-packages.sh ntfs-3g qemu-utils fdisk

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The disk: 65536 sectors; the partition from sector 2048 to the end. A fixed
# disk signature, so that two builds of one commit give the same table.
sectors=65536
start=2048
size=$((sectors - start))
truncate -s $((sectors * 512)) "$work/disk.raw"
sfdisk --quiet "$work/disk.raw" <<EOF
label: dos
label-id: 0x53574e31
start=$start, size=$size, type=7
EOF

# -s, -p: 512-byte sectors and the partition's start (NTFS's hidden sectors), as Windows expects of
# a volume in a partition; -F: a file, not a device; -f: no zeroing.
truncate -s $((size * 512)) "$work/volume.img"
if ! mkntfs -F -f -q -s 512 -p "$start" -H 255 -S 63 -L stubwarden-sample "$work/volume.img" >"$work/mkntfs.log" 2>&1; then
  cat "$work/mkntfs.log" >&2
  exit 1
fi

# In the namespace: ntfs-3g's plugin folder (made, for this namespace only,
# by an overlay when the package shows none), the build tree's plugin folder
# bound over it, the volume mounted on /mnt/stubwarden-sample (a tmpfs over
# /mnt, in this namespace only), so that the report names the share
# \\?\UNC\mnt\stubwarden-sample\share.
fill() {
  set -euo pipefail
  local plugins parent
  # (ntfs-3g --help ends with exit code 1.)
  plugins="$( (ntfs-3g --help 2>&1 || true) | sed -n 's/^Plugin path: //p')"
  parent="$(dirname "$plugins")"
  if [ ! -d "$plugins" ]; then
    mkdir -p "$work/layer/$(basename "$plugins")"
    mount -t overlay -o ro,"lowerdir=$work/layer:$parent" stubwarden-sample "$parent"
  fi
  mount --bind "$build/ntfs-3g-plugins" "$plugins"
  mount -t tmpfs stubwarden-sample /mnt
  mkdir /mnt/stubwarden-sample
  # In the foreground, so that its end (the image written back and closed)
  # can be waited for.
  ntfs-3g -o no_detach "$work/volume.img" /mnt/stubwarden-sample 2>"$work/ntfs-3g.log" &
  local ntfs3g=$!
  local tries=0
  until mountpoint -q /mnt/stubwarden-sample; do
    if ! kill -0 "$ntfs3g" 2>/dev/null || [ $((tries += 1)) -gt 100 ]; then
      cat "$work/ntfs-3g.log" >&2
      return 1
    fi
    sleep 0.1
  done
  local code=0
  "$build/stubwarden-tree" /mnt/stubwarden-sample/share samples/sample-share.tree || code=$?
  if [ "$code" -eq 0 ]; then
    mkdir "$work/report"
    # Exit code 2: the sample share holds bad placeholders, as it should.
    (cd "$work/report" && "$build/stubwarden" '\\mnt\stubwarden-sample\share') || code=$?
    [ "$code" -eq 2 ] && code=0
  fi
  umount /mnt/stubwarden-sample
  wait "$ntfs3g"
  return "$code"
}
export work build
unshare --mount --propagation private bash -c "$(declare -f fill); fill"

dd if="$work/volume.img" of="$work/disk.raw" bs=512 seek="$start" conv=notrunc status=none
qemu-img convert -f raw -O vhdx "$work/disk.raw" "$dist/stubwarden-sample-ntfs.vhdx"
install -m 0644 "$work"/report/*.txt "$dist/stubwarden-sample-ntfs-report.txt"
echo "Made $dist/stubwarden-sample-ntfs.vhdx and its report"
