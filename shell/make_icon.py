#!/usr/bin/env python3
"""Draws the applier's icon (PATCHICON) and writes it as a Windows .ico.

    make_icon.py OUTPUT.ico

The icon is a sheet of paper with a folded corner and a sticking plaster laid
across it. Both images (32x32 and 16x16) use 4 bits per pixel with the
standard 16-colour palette and a 1-bit transparency mask: that is what every
Windows since 95 and NT 4 shows without complaint, and it keeps the stub
small (under 1 KiB for both images). The drawing is plain geometry, so the
output is the same on every run.
"""
import struct
import sys

# The standard VGA palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREY, LIGHT, WHITE = 0, 8, 7, 15
NAVY, BLUE, CYAN, OLIVE, YELLOW = 4, 12, 14, 3, 11
CLEAR = None  # transparent


def draw(size):
    """Returns rows (top first) of palette indices or CLEAR."""
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]

    def inside_page(x, y):
        left, right, top, bottom = 5 * s, 26 * s, 2 * s, 30 * s
        fold = 7 * s
        if not (left <= x < right and top <= y < bottom):
            return False
        # The folded top-right corner is cut off the sheet.
        return (x - (right - fold)) + (top + fold - y) <= fold

    for y in range(size):
        for x in range(size):
            cx, cy = x + 0.5, y + 0.5
            if inside_page(cx, cy):
                edge = not (inside_page(cx - 1, cy) and inside_page(cx + 1, cy)
                            and inside_page(cx, cy - 1)
                            and inside_page(cx, cy + 1))
                px[y][x] = BLACK if edge else WHITE
    # The fold itself: a grey triangle under the cut corner.
    right, top, fold = 26 * s, 2 * s, 7 * s
    for y in range(size):
        for x in range(size):
            cx, cy = x + 0.5, y + 0.5
            if right - fold <= cx < right and top <= cy < top + fold:
                d = (cx - (right - fold)) - (cy - top)
                if d <= 0:
                    on_edge = d > -1.2 or cx < right - fold + 1 or cy >= top + fold - 1
                    px[y][x] = BLACK if on_edge else LIGHT
    # Text lines on the sheet.
    if size >= 32:
        for row in (12, 16, 20, 24):
            for x in range(8, 23):
                if px[row][x] == WHITE:
                    px[row][x] = GREY
    # The plaster: a band from lower left to upper right with a pad in the
    # middle and holes on its ends.
    import math
    ang = math.radians(-35)
    ux, uy = math.cos(ang), math.sin(ang)
    vx, vy = -uy, ux
    mx, my = 16 * s, 17 * s
    half_len, half_w, pad = 15 * s, 4.6 * s, 4.2 * s
    for y in range(size):
        for x in range(size):
            dx, dy = x + 0.5 - mx, y + 0.5 - my
            a = dx * ux + dy * uy
            b = dx * vx + dy * vy
            if abs(a) <= half_len and abs(b) <= half_w:
                outline = abs(a) > half_len - 1 or abs(b) > half_w - 1
                if outline:
                    px[y][x] = OLIVE
                elif abs(a) <= pad:
                    px[y][x] = WHITE if size >= 32 and abs(b) < 1.0 else LIGHT
                else:
                    px[y][x] = YELLOW
                    if size >= 32 and int(a + 100) % 3 == 0 and int(b + 100) % 3 == 0:
                        px[y][x] = OLIVE
    return px


def image(size):
    px = draw(size)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # bottom-up
        row = bytearray(xor_stride)
        mrow = bytearray(and_stride)
        for x in range(size):
            c = px[y][x]
            if c is None:
                mrow[x // 8] |= 0x80 >> (x % 8)
                c = BLACK  # transparent pixels are black in the colour plane
            if x % 2 == 0:
                row[x // 2] |= c << 4
            else:
                row[x // 2] |= c
        xor += row
        mask += mrow
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + bytes(xor) + bytes(mask)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_icon.py OUTPUT.ico')
    sizes = (32, 16)
    images = [image(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
