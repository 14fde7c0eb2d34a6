#!/usr/bin/env python3
"""Draws Harbinel's three tray icons and writes them as .ico files.

Each icon holds one image for each size Windows asks for from 100 % to
250 % display scale (16 to 48 pixels square), each drawn at its own size
with a 256-colour palette (BMP in ICO, with XOR and AND masks), so that the
tray and the window show a sharp picture at any DPI. It shows a shield: green while listening (main.ico), grey
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

SIZE = 32  # the size the geometry below is given in
SIZES = (16, 20, 24, 32, 40, 48)
SUPERSAMPLE = 4

# Shield geometry in pixels of a 32x32 image; (0, 0) is the top left corner.
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


def coverage(inside, px, py, size):
    """Fraction of pixel (px, py) of a size x size image covered by `inside`."""
    hits = 0
    k = SIZE / size
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            x = (px + (sx + 0.5) / SUPERSAMPLE) * k
            y = (py + (sy + 0.5) / SUPERSAMPLE) * k
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


def render(base, emblem=None, size=SIZE):
    """Returns rows of pixels, top row first: (r, g, b) tuples or None."""
    k = SIZE / size
    mask = [[coverage(in_shield, x, y, size) >= 0.5 for x in range(size)] for y in range(size)]

    def inside(x, y):
        return 0 <= x < size and 0 <= y < size and mask[y][x]

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
    for y in range(size):
        row = []
        for x in range(size):
            if not inside(x, y):
                row.append(None)
                continue
            d = depth(x, y)
            if d == 1:
                row.append(outline)
                continue
            # Light from the top left: the left half lit, the right in shade,
            # both fading a little towards the point.
            left = (x + 0.5) * k < CENTRE_X
            fade = 1.0 - 0.25 * (y * k - TOP) / (BOTTOM - TOP)
            colour = scale(base, (1.15 if left else 0.85) * fade)
            if d == 2:
                colour = mix(colour, white, 0.35 if left else 0.1)
            row.append(colour)
        pixels.append(row)

    if emblem is not None:
        shape, ink, shadow = emblem
        cover = [[coverage(shape, x, y, size) for x in range(size)] for y in range(size)]
        # A shadow one pixel down and right keeps the mark readable on
        # either half of the shield.
        for y in range(size - 1, -1, -1):
            for x in range(size - 1, -1, -1):
                if cover[y][x] >= 0.5 and inside(x + 1, y + 1) and depth(x + 1, y + 1) > 1:
                    pixels[y + 1][x + 1] = shadow
        for y in range(size):
            for x in range(size):
                if cover[y][x] >= 0.5 and inside(x, y):
                    pixels[y][x] = ink
    return pixels


def image_bytes(pixels):
    """One square image, 8 bits per pixel, as an ICO holds it."""
    size = len(pixels)
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
        words = (size + 31) // 32  # mask rows are padded to 32 bits
        bits = 0
        for x, p in enumerate(row):
            if p is None:
                bits |= 1 << (words * 32 - 1 - x)  # set = transparent
        mask += bits.to_bytes(words * 4, "big")

    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + colours + bytes(xor) + bytes(mask)


def ico_bytes(images):
    """Square images (rows of pixels), smallest first, in an ICO container."""
    blobs = [image_bytes(pixels) for pixels in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for pixels, blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", len(pixels), len(pixels), 0, 0, 1, 8, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


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
        images = [render(base, emblem, size) for size in SIZES]
        rendered.append(images[SIZES.index(SIZE)])
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(ico_bytes(images))
    if args.preview:
        preview(rendered, args.preview)


if __name__ == "__main__":
    main()
