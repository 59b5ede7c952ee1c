#!/usr/bin/env python3
"""What an administrator would write instead: walk the share with os.walk and
classify every file from its Samba xattrs.

    admin_script.py <folder>
"""
import os
import struct
import sys

GUID = bytes.fromhex("cd8ad59de74b364f9ce3b7738ee3c702")
SIGNATURE = "Q-MARLO012345678\0".encode("utf-16-le")


def attributes(path):
    try:
        value = os.getxattr(path, "user.DOSATTRIB", follow_symlinks=False)
    except OSError:
        return 0x20
    if value.startswith(b"0x"):
        return int(value.rstrip(b"\0"), 16)
    # NDR: empty string, version 5, valid flags, attrib
    if len(value) >= 16 and value[2:4] == b"\x05\x00":
        return struct.unpack_from("<I", value, 12)[0]
    return 0x20


def classify(path):
    if not attributes(path) & 0x400:
        return "not a placeholder"
    try:
        record = os.getxattr(path, "user.SmbReparse", follow_symlinks=False)
    except OSError:
        return "failed to read"
    if struct.unpack_from("<I", record, 0)[0] != 16:
        return "not a placeholder"
    if record[8:24] != GUID or struct.unpack_from("<I", record, 24)[0] != 7777:
        return "bad placeholder"
    if record[28:62] != SIGNATURE:
        return "bad placeholder"
    if record[84:92].decode("utf-16-le", "replace").lower() != "http":
        return "bad placeholder"
    return "good placeholder"


def main():
    counts = {}
    for folder, _, files in os.walk(sys.argv[1]):
        for name in files:
            kind = classify(os.path.join(folder, name))
            counts[kind] = counts.get(kind, 0) + 1
    for kind in sorted(counts):
        print(f"{kind}: {counts[kind]}")


if __name__ == "__main__":
    main()
