#!/usr/bin/env python3
"""Draws Harbinel's three tray icons and writes them as .ico files.

Each icon is one 32x32 image with a 256-colour palette (BMP in ICO, with
XOR and AND masks) showing a shield: green while listening (main.ico), grey
while idle (idle.ico) and red with an exclamation mark on an alert
(alert.ico). Outside the shield the icons are transparent.

    make-icons.py [--out DIR] [--preview FILE.png]

--out defaults to the resources folder next to this script's folder;
--preview also writes the three icons side by side, enlarged and at actual
size, on light and dark backgrounds, for a quick look. Standard library only.
"""

import argparse
import os
import struct
import zlib

SIZE = 32
SUPERSAMPLE = 4

# Shield geometry in pixel units; (0, 0) is the top left corner.
CENTRE_X = 16.0
HALF_WIDTH = 11.5
TOP = 2.5          # top edge at the corners
TOP_DIP = 1.5      # how far the top edge sags towards the middle
SHOULDER = 15.0    # where the straight sides start curving inwards
BOTTOM = 30.0      # the point


def in_shield(x, y):
    """Whether the point (x, y) lies inside the shield outline."""
    dx = abs(x - CENTRE_X)
    if dx > HALF_WIDTH:
        return False
    top = TOP + TOP_DIP * (1.0 - (dx / HALF_WIDTH) ** 2)
    if y < top or y > BOTTOM:
        return False
    if y <= SHOULDER:
        return True
    t = (y - SHOULDER) / (BOTTOM - SHOULDER)
    return dx <= HALF_WIDTH * (1.0 - t ** 1.8)


def coverage(inside, px, py):
    """Fraction of pixel (px, py) covered by the shape `inside`."""
    hits = 0
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            x = px + (sx + 0.5) / SUPERSAMPLE
            y = py + (sy + 0.5) / SUPERSAMPLE
            hits += inside(x, y)
    return hits / (SUPERSAMPLE * SUPERSAMPLE)


def near_segment(x, y, a, b, radius):
    """Whether (x, y) is within `radius` of the segment from a to b."""
    ax, ay = a
    bx, by = b
    vx, vy = bx - ax, by - ay
    t = ((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy)
    t = max(0.0, min(1.0, t))
    cx, cy = ax + t * vx, ay + t * vy
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def check_mark(x, y):
    return (near_segment(x, y, (10.0, 16.0), (14.0, 20.5), 1.6)
            or near_segment(x, y, (14.0, 20.5), (22.0, 10.0), 1.6))


def exclamation(x, y):
    return (near_segment(x, y, (16.0, 8.0), (16.0, 17.5), 1.9)
            or (x - 16.0) ** 2 + (y - 22.5) ** 2 <= 2.1 ** 2)


def scale(colour, factor):
    return tuple(max(0, min(255, int(round(c * factor)))) for c in colour)


def mix(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(3))


def render(base, emblem=None):
    """Returns rows of pixels, top row first: (r, g, b) tuples or None."""
    mask = [[coverage(in_shield, x, y) >= 0.5 for x in range(SIZE)] for y in range(SIZE)]

    def inside(x, y):
        return 0 <= x < SIZE and 0 <= y < SIZE and mask[y][x]

    def depth(x, y):
        """1 on the outline, 2 just inside it, 3 further in."""
        for d in (1, 2):
            for ny in range(y - d, y + d + 1):
                for nx in range(x - d, x + d + 1):
                    if abs(nx - x) + abs(ny - y) <= d and not inside(nx, ny):
                        return d
        return 3

    outline = scale(base, 0.35)
    white = (255, 255, 255)
    pixels = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            if not inside(x, y):
                row.append(None)
                continue
            d = depth(x, y)
            if d == 1:
                row.append(outline)
                continue
            # Light from the top left: the left half lit, the right in shade,
            # both fading a little towards the point.
            fade = 1.0 - 0.25 * (y - TOP) / (BOTTOM - TOP)
            lit = 1.15 if x + 0.5 < CENTRE_X else 0.85
            colour = scale(base, lit * fade)
            if d == 2:
                colour = mix(colour, white, 0.35 if x + 0.5 < CENTRE_X else 0.1)
            row.append(colour)
        pixels.append(row)

    if emblem is not None:
        shape, ink, shadow = emblem
        cover = [[coverage(shape, x, y) for x in range(SIZE)] for y in range(SIZE)]
        # A shadow one pixel down and right keeps the mark readable on
        # either half of the shield.
        for y in range(SIZE - 1, -1, -1):
            for x in range(SIZE - 1, -1, -1):
                if cover[y][x] >= 0.5 and inside(x + 1, y + 1) and depth(x + 1, y + 1) > 1:
                    pixels[y + 1][x + 1] = shadow
        for y in range(SIZE):
            for x in range(SIZE):
                if cover[y][x] >= 0.5 and inside(x, y):
                    pixels[y][x] = ink
    return pixels


def ico_bytes(pixels):
    """One 32x32, 8 bits per pixel image in an ICO container."""
    palette = [(0, 0, 0)]  # index 0 sits under the transparent pixels
    index = {(0, 0, 0): 0}
    for row in pixels:
        for p in row:
            if p is not None and p not in index:
                index[p] = len(palette)
                palette.append(p)
    if len(palette) > 256:
        raise ValueError("icon uses %d colours, more than 256" % len(palette))
    palette += [(0, 0, 0)] * (256 - len(palette))

    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):  # DIB rows run bottom up
        xor += bytes(0 if p is None else index[p] for p in row)
        bits = 0
        for x, p in enumerate(row):
            if p is None:
                bits |= 1 << (31 - x)  # set = transparent
        mask += struct.pack(">I", bits)  # 32 pixels make one padded row

    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    image = header + colours + bytes(xor) + bytes(mask)

    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image), 6 + 16)
    return directory + entry + image


def png_bytes(width, height, rgb_rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + bytes(c for p in row for c in p) for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def preview(icons, path):
    """Each icon 8x on a checkerboard, then at 1x and 2x on light and dark."""
    zoom, gap = 8, 8
    big = SIZE * zoom
    width = len(icons) * (big + gap) + gap
    height = gap + big + gap + SIZE * 2 + gap
    canvas = [[(200, 200, 200)] * width for _ in range(height)]
    for n, pixels in enumerate(icons):
        left = gap + n * (big + gap)
        for y in range(big):
            for x in range(big):
                p = pixels[y // zoom][x // zoom]
                if p is None:
                    p = (255, 255, 255) if ((x // 8) + (y // 8)) % 2 else (220, 220, 220)
                canvas[gap + y][left + x] = p
        top = gap + big + gap
        for k, (bg, z) in enumerate((((240, 240, 240), 1), ((30, 30, 30), 1),
                                     ((240, 240, 240), 2), ((30, 30, 30), 2))):
            ox = left + [0, 40, 80, 150][k]
            for y in range(SIZE * z):
                for x in range(SIZE * z):
                    p = pixels[y // z][x // z]
                    canvas[top + y][ox + x] = bg if p is None else p
    with open(path, "wb") as f:
        f.write(png_bytes(width, height, canvas))


ICONS = [
    ("main.ico", (40, 170, 60), (check_mark, (255, 255, 255), (10, 60, 20))),
    ("idle.ico", (150, 150, 150), None),
    ("alert.ico", (215, 35, 35), (exclamation, (255, 255, 255), (90, 10, 10))),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(here, "..", "resources"))
    parser.add_argument("--preview")
    args = parser.parse_args()

    rendered = []
    for name, base, emblem in ICONS:
        pixels = render(base, emblem)
        rendered.append(pixels)
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(ico_bytes(pixels))
    if args.preview:
        preview(rendered, args.preview)


if __name__ == "__main__":
    main()
