#!/usr/bin/env python3
"""Writes the tray's application icon (src/tray/app.ico): a blue rounded
square with a white sheet leaving a printer slot, at 16, 32 and 48 pixels.

    tools/make_tray_icon.py [OUTPUT]

The icon is drawn here rather than taken from anywhere, so the repository
holds the script and the small file it makes."""
import struct
import sys

BLUE = (0x00, 0x78, 0xD4)
DARK = (0x00, 0x5A, 0x9E)
WHITE = (0xFF, 0xFF, 0xFF)


def pixel(x, y, n):
    """RGBA of one pixel of an n x n icon, y from the top."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.2  # corner radius as a share of the side
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    # Printer body across the middle, a sheet coming out of its slot.
    if 0.28 <= u <= 0.72 and 0.16 <= v <= 0.42:
        return WHITE + (255,)
    if 0.2 <= u <= 0.8 and 0.42 < v <= 0.66:
        return DARK + (255,)
    if 0.3 <= u <= 0.7 and 0.66 < v <= 0.84:
        return WHITE + (255,)
    return BLUE + (255,)


def image(n):
    rows = []
    mask_rows = []
    stride = ((n + 31) // 32) * 4
    for y in range(n - 1, -1, -1):  # bottom-up
        row = bytearray()
        bits = bytearray(stride)
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            row += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
        mask_rows.append(bytes(bits))
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + b"".join(mask_rows)


def icon(sizes):
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "src/tray/app.ico"
    with open(path, "wb") as f:
        f.write(icon([16, 32, 48]))


if __name__ == "__main__":
    main()
