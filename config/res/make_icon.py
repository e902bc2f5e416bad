#!/usr/bin/env python3
"""Draws the program icon (a printer on a network cable, on a teal tile) and
writes it as a Windows icon file with 16, 32 and 48 pixel images, and as a
48 pixel PNG for the desktop entry.

    make_icon.py OUTPUT.ico [OUTPUT.png]

Standard library only; shapes are sampled 4x4 per pixel for smooth edges.
"""
import struct
import sys
import zlib

TILE = (0x1F, 0x6F, 0x78)      # teal
TILE_EDGE = (0x14, 0x4C, 0x53)
BODY = (0xF4, 0xF6, 0xF7)      # printer body
SHADE = (0xB8, 0xC4, 0xC8)
PAPER = (0xFF, 0xFF, 0xFF)
INK = (0x2B, 0x33, 0x38)
LINK = (0xF2, 0x9A, 0x2E)      # the cable and its jack


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def colour_at(x, y):
    """The colour at (x, y) in a 1 x 1 design square, or None outside."""
    if not inside_round_rect(x, y, 0.02, 0.02, 0.98, 0.98, 0.18):
        return None
    colour = TILE if inside_round_rect(x, y, 0.06, 0.06, 0.94, 0.94, 0.15) else TILE_EDGE
    # Cable from the printer's foot to a network jack.
    if 0.46 <= x <= 0.54 and 0.70 <= y <= 0.82:
        colour = LINK
    if inside_round_rect(x, y, 0.34, 0.80, 0.66, 0.93, 0.03):
        colour = LINK
        if 0.86 <= y <= 0.90 and any(abs(x - t) < 0.025 for t in (0.42, 0.50, 0.58)):
            colour = TILE_EDGE
    # Paper sheet standing out of the top.
    if inside_round_rect(x, y, 0.30, 0.12, 0.70, 0.40, 0.02):
        colour = PAPER
        if 0.36 <= x <= 0.64 and any(abs(y - t) < 0.018 for t in (0.20, 0.27, 0.34)):
            colour = SHADE
    # Body.
    if inside_round_rect(x, y, 0.16, 0.36, 0.84, 0.70, 0.07):
        colour = BODY
        if y > 0.62:
            colour = SHADE
        if inside_round_rect(x, y, 0.66, 0.43, 0.76, 0.50, 0.02):
            colour = LINK  # power lamp
    # Output slot and the printed page in it.
    if 0.26 <= x <= 0.74 and 0.53 <= y <= 0.57:
        colour = INK
    if 0.32 <= x <= 0.68 and 0.57 < y <= 0.66:
        colour = PAPER
    return colour


def render(size, samples=4):
    """Rows of (b, g, r, a), top row first."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c is not None:
                        acc[0] += c[2]
                        acc[1] += c[1]
                        acc[2] += c[0]
                        acc[3] += 255
            n = samples * samples
            covered = acc[3] // 255
            if covered:
                row.append((acc[0] // covered, acc[1] // covered, acc[2] // covered, acc[3] // n))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bitmap(size):
    rows = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b''.join(bytes(p) for row in reversed(rows) for p in row)
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # alpha decides; the AND mask stays clear
    return header + pixels + mask


def png(size):
    rows = render(size)
    raw = b''.join(b'\0' + b''.join(bytes((p[2], p[1], p[0], p[3])) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')


def main():
    sizes = (16, 32, 48)
    images = [bitmap(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, image in zip(sizes, images):
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    out += b''.join(images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)
    if len(sys.argv) > 2:
        with open(sys.argv[2], 'wb') as f:
            f.write(png(48))


if __name__ == '__main__':
    main()
