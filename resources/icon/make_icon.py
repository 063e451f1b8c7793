#!/usr/bin/env python3
"""Draws the application icon: a box with a downward arrow, the kit being
unpacked. Writes an ICO with twelve images in this order: 48, 32, 24 and 16
pixels in 16 colours, the same in 256 colours, the same in 32-bit colour."""
import struct
import sys

SIZES = (48, 32, 24, 16)

VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
CUBE = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
PALETTE256 = CUBE + [(i * 255 // 39, i * 255 // 39, i * 255 // 39) for i in range(40)]

BOX = (30, 80, 160)
LID = (70, 130, 210)
ARROW = (250, 170, 30)
EDGE = (10, 30, 70)


def pixel(x, y, n):
    """Colour (r, g, b, a) at pixel x, y of an n by n image, y downwards."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    in_arrow_stem = 0.42 <= u <= 0.58 and 0.06 <= v <= 0.45
    in_arrow_head = 0.45 <= v <= 0.66 and abs(u - 0.5) <= (0.66 - v) * 1.2
    if in_arrow_stem or in_arrow_head:
        return ARROW + (255,)
    if 0.1 <= u <= 0.9 and 0.5 <= v <= 0.94:
        edge = u < 0.1 + 1.5 / n or u > 0.9 - 1.5 / n or v > 0.94 - 1.5 / n
        if edge:
            return EDGE + (255,)
        return (LID if v < 0.62 else BOX) + (255,)
    return (0, 0, 0, 0)


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], rgb)))


def row_bytes(bits, n):
    return ((bits * n + 31) // 32) * 4


def image(n, bits):
    pixels = [[pixel(x, y, n) for x in range(n)] for y in range(n)]
    palette = {4: VGA16, 8: PALETTE256}.get(bits, [])
    xor = bytearray()
    for y in reversed(range(n)):  # bottom-up rows
        row = bytearray()
        if bits == 32:
            for r, g, b, a in pixels[y]:
                row += bytes((b, g, r, a))
        else:
            idx = [nearest(palette, p[:3]) if p[3] else 0 for p in pixels[y]]
            if bits == 8:
                row += bytes(idx)
            else:
                for i in range(0, n, 2):
                    row.append((idx[i] << 4) | (idx[i + 1] if i + 1 < n else 0))
        row += bytes(row_bytes(bits, n) - len(row))
        xor += row
    mask = bytearray()
    for y in reversed(range(n)):
        row = bytearray(row_bytes(1, n))
        for x in range(n):
            if pixels[y][x][3] == 0:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, bits, 0, len(xor) + len(mask), 0, 0,
                         len(palette), 0)
    colours = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + colours + bytes(xor) + bytes(mask), len(palette)


def main(out):
    images = [(n, bits) + image(n, bits) for bits in (4, 8, 32) for n in SIZES]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, bits, blob, colours in images:
        data += struct.pack('<BBBBHHII', n, n, colours if colours < 256 else 0, 0, 1, bits,
                            len(blob), offset)
        offset += len(blob)
    data += b''.join(blob for _, _, blob, _ in images)
    with open(out, 'wb') as f:
        f.write(data)


if __name__ == '__main__':
    main(sys.argv[1])
