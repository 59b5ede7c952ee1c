#!/usr/bin/python3
"""Reparse points over SMB with Samba's own client (python3-samba).

Usage: smb_reparse_client.py <smb.conf> <share> <steps>, where the file
<steps> holds one step a line: "mkdir <path>", "set <path> <record in hex>" or "get <path>"
(paths relative to the share, '\\' between names, no blanks); prints one
line a step: the NTSTATUS in hexadecimal, and for a "get" that succeeded, a
blank and the record in hex.
"set" creates the file when it is missing and sets the record given;
"get" reads the record. Both open the file itself, never what it points to
(FILE_OPEN_REPARSE_POINT), as a backup or archiving client does. The client
connects to 127.0.0.1 on port 445, the only port Samba's Python client uses.
"""
import sys

from samba import NTSTATUSError, credentials
from samba.samba3 import libsmb_samba_internal as libsmb
from samba.samba3 import param as s3param

FSCTL_SET_REPARSE_POINT = 0x900A4
FSCTL_GET_REPARSE_POINT = 0x900A8
FILE_OPEN_REPARSE_POINT = 0x00200000
FILE_OPEN_IF = 3
# FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES
ACCESS = 0x00120089 | 0x2 | 0x100
SHARE_ALL = 7


def status_text(error):
    return "0x%08x" % (error.args[0] & 0xFFFFFFFF)


def main():
    config, share = sys.argv[1], sys.argv[2]
    with open(sys.argv[3], encoding="utf-8") as lines:
        steps = [line.split() for line in lines if line.strip()]
    lp = s3param.get_context()
    lp.load(config)
    creds = credentials.Credentials()
    creds.guess()
    creds.set_anonymous()
    conn = libsmb.Conn("127.0.0.1", share, lp, creds)
    for step in steps:
        op, path = step[0], step[1]
        answer = "0x00000000"
        fnum = None
        try:
            if op == "mkdir":
                conn.mkdir(path)
            else:
                fnum = conn.create(path, DesiredAccess=ACCESS, ShareAccess=SHARE_ALL,
                                   CreateDisposition=FILE_OPEN_IF, CreateOptions=FILE_OPEN_REPARSE_POINT)
                if op == "set":
                    conn.fsctl(fnum, FSCTL_SET_REPARSE_POINT, bytes.fromhex(step[2]), 0)
                else:
                    answer += " " + conn.fsctl(fnum, FSCTL_GET_REPARSE_POINT, b"", 16384).hex()
        except NTSTATUSError as error:
            answer = status_text(error)
        finally:
            if fnum is not None:
                conn.close(fnum)
        print(answer, flush=True)


if __name__ == "__main__":
    main()
