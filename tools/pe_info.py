#!/usr/bin/env python3
"""Facts of a Windows executable read on the build machine.

    pe_info.py version EXE    prints the file version, four parts (4.3.0.0)
    pe_info.py machine EXE    prints x86 or amd64

Used by scripts/package (the installer takes its version from the exe it
packs) and scripts/release. Python 3 standard library only.
"""
import struct
import sys

FIXED_FILE_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)
MACHINES = {0x14C: "x86", 0x8664: "amd64"}


def file_version(path):
    """(major, minor, build, revision) of the version resource, or None."""
    with open(path, "rb") as f:
        data = f.read()
    # The fixed part follows the resource's key; the signature's bytes may
    # also occur by chance in code or debug data before it.
    key = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    if key < 0:
        return None
    at = data.find(FIXED_FILE_INFO_SIGNATURE, key)
    while at >= 0:
        # VS_FIXEDFILEINFO: signature, struct version, then the file version
        # as two DWORDs (most significant first).
        if at + 16 <= len(data):
            ms, ls = struct.unpack_from("<II", data, at + 8)
            return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        at = data.find(FIXED_FILE_INFO_SIGNATURE, at + 1)
    return None


def machine(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 64:
        return None
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if pe + 6 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        return None
    return MACHINES.get(struct.unpack_from("<H", head, pe + 4)[0])


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("version", "machine"):
        sys.exit("usage: pe_info.py version|machine EXE")
    if sys.argv[1] == "version":
        v = file_version(sys.argv[2])
        if not v:
            sys.exit("%s has no version resource" % sys.argv[2])
        print(".".join(str(p) for p in v))
    else:
        m = machine(sys.argv[2])
        if not m:
            sys.exit("%s is not a known PE file" % sys.argv[2])
        print(m)


if __name__ == "__main__":
    main()
