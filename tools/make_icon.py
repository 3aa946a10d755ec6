#!/usr/bin/env python3
"""Draws the updater's icon and writes it as src/resources/Updater.ico.

The artwork is a white arrow pointing down into a white tray on a blue
rounded square. The file holds the three classic images: 16x16 and 32x32 in
the 16 standard colours (4 bpp) and 32x32 in 256 colours (8 bpp), each a
BITMAPINFOHEADER DIB with its XOR bitmap and AND mask; and, for screens of
more than 96 DPI, where the window's icons are 24 and 48 pixels at 150 % and
32 and 64 at 200 %, and for the shell's largest view, 256, those sizes with
an alpha channel: 24, 48 and 64 as 32-bpp DIBs, 256 as PNG, as icon files
hold that size. Without them the 16 and 32 pixel images are scaled, and
look blurred. The output is the
same on every run.

Usage: make_icon.py [OUTPUT]
"""

import os
import struct
import sys
import zlib

# Shapes in pixels of the image they are drawn for; each size has its own so
# that the strokes fall on whole pixels. Rects are (left, top, right, bottom),
# triangles three (x, y) corners.
DESIGNS = {
    16: {
        "square": (0, 0, 16, 16, 3.5),  # left, top, right, bottom, corner radius
        # At this size the arrow head is a staircase of whole pixels.
        "rects": [(6, 2, 10, 5), (3, 5, 13, 6), (4, 6, 12, 7), (5, 7, 11, 8), (6, 8, 10, 9), (7, 9, 9, 10),
                  (3, 10, 5, 14), (11, 10, 13, 14), (3, 12, 13, 14)],
        "triangles": [],
    },
    32: {
        "square": (1, 1, 31, 31, 6.5),
        "rects": [(13, 5, 19, 14), (7, 19, 10, 27), (22, 19, 25, 27), (7, 24, 25, 27)],
        "triangles": [((7.5, 13), (24.5, 13), (16, 21.5))],
    },
    # The 32 pixel design at three quarters and at one and a half times,
    # its strokes moved to whole pixels.
    24: {
        "square": (1, 1, 23, 23, 5),
        "rects": [(10, 4, 14, 11), (5, 15, 7, 21), (17, 15, 19, 21), (5, 19, 19, 21)],
        "triangles": [((5.5, 10), (18.5, 10), (12, 16.5))],
    },
    48: {
        "square": (1, 1, 47, 47, 10),
        "rects": [(20, 7, 28, 21), (10, 28, 14, 41), (34, 28, 38, 41), (10, 37, 38, 41)],
        "triangles": [((11, 20), (37, 20), (24, 33))],
    },
    # At twice and eight times the 32 pixel design falls on whole pixels as it is.
    64: {
        "square": (2, 2, 62, 62, 13),
        "rects": [(26, 10, 38, 28), (14, 38, 20, 54), (44, 38, 50, 54), (14, 48, 50, 54)],
        "triangles": [((15, 26), (49, 26), (32, 43))],
        "border": 2,
    },
    256: {
        "square": (8, 8, 248, 248, 52),
        "rects": [(104, 40, 152, 112), (56, 152, 80, 216), (176, 152, 200, 216), (56, 192, 200, 216)],
        "triangles": [((60, 104), (196, 104), (128, 172))],
        "border": 6,
        # Four per axis are enough at this size, and a sixteenth of the time.
        "subsamples": 4,
    },
}
BORDER_WIDTH = 1.0  # pixels, unless the design gives its own

WHITE = (255, 255, 255)
BORDER = (14, 52, 120)
TOP = (76, 154, 232)  # the fill runs from TOP down to BOTTOM
BOTTOM = (22, 84, 180)

# The standard 16-colour palette, in its usual order, so that the 4-bpp
# images show right on any display.
STANDARD16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
STANDARD16_INK = {"border": 4, "fill": 12, "white": 15}  # navy, blue, white

SUBSAMPLES = 8  # per pixel and axis, unless the design gives its own


def rounded_square_distance(x, y, square):
    """Signed distance to the rounded square's edge; negative inside."""
    left, top, right, bottom, radius = square
    cx, cy = (left + right) / 2, (top + bottom) / 2
    qx = abs(x - cx) - ((right - left) / 2 - radius)
    qy = abs(y - cy) - ((bottom - top) / 2 - radius)
    outside = (max(qx, 0) ** 2 + max(qy, 0) ** 2) ** 0.5
    return outside + min(max(qx, qy), 0) - radius


def in_triangle(x, y, corners):
    (ax, ay), (bx, by), (cx, cy) = corners
    d1 = (x - bx) * (ay - by) - (ax - bx) * (y - by)
    d2 = (x - cx) * (by - cy) - (bx - cx) * (y - cy)
    d3 = (x - ax) * (cy - ay) - (cx - ax) * (y - ay)
    has_neg = d1 < 0 or d2 < 0 or d3 < 0
    has_pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (has_neg and has_pos)


def classify(x, y, design):
    """Which ink covers the point: None (transparent), border, white or fill."""
    distance = rounded_square_distance(x, y, design["square"])
    if distance >= 0:
        return None
    if distance > -design.get("border", BORDER_WIDTH):
        return "border"
    if any(l <= x < r and t <= y < b for l, t, r, b in design["rects"]):
        return "white"
    if any(in_triangle(x, y, corners) for corners in design["triangles"]):
        return "white"
    return "fill"


def ink_colour(ink, y, size):
    if ink == "white":
        return WHITE
    if ink == "border":
        return BORDER
    t = y / size
    return tuple(round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM))


def render(size):
    """Per pixel: the inks of its subsamples, row by row from the top."""
    design = DESIGNS[size]
    subsamples = design.get("subsamples", SUBSAMPLES)
    step = 1 / subsamples
    pixels = []
    for py in range(size):
        for px in range(size):
            samples = []
            for sy in range(subsamples):
                for sx in range(subsamples):
                    x, y = px + (sx + 0.5) * step, py + (sy + 0.5) * step
                    samples.append((classify(x, y, design), y))
            pixels.append(samples)
    return pixels


def is_opaque(samples):
    return sum(ink is not None for ink, _ in samples) * 2 >= len(samples)


def flat_image(size):
    """16 colours: each pixel takes the ink that covers most of it."""
    indices, opaque = [], []
    for samples in render(size):
        inks = [ink for ink, _ in samples if ink is not None]
        opaque.append(is_opaque(samples))
        if not opaque[-1]:
            indices.append(0)
            continue
        # Ties go to the ink named first, so that thin white strokes survive.
        ink = max(["white", "border", "fill"], key=inks.count)
        indices.append(STANDARD16_INK[ink])
    return STANDARD16, indices, opaque


def median_cut(colours, count):
    """Up to count colours that stand for the weighted colours given."""
    boxes = [sorted(colours.items())]
    while len(boxes) < count:
        def spread(box):
            return max(max(c[0][ch] for c in box) - min(c[0][ch] for c in box) for ch in range(3))
        splittable = [b for b in boxes if len(b) > 1]
        if not splittable:
            break
        box = max(splittable, key=spread)
        channel = max(range(3), key=lambda ch: max(c[0][ch] for c in box) - min(c[0][ch] for c in box))
        box.sort(key=lambda c: (c[0][channel], c[0]))
        total = sum(n for _, n in box)
        running, cut = 0, 1
        for i, (_, n) in enumerate(box[:-1]):
            running += n
            cut = i + 1
            if running * 2 >= total:
                break
        boxes.remove(box)
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(n for _, n in box)
        palette.append(tuple(round(sum(c[ch] * n for c, n in box) / total) for ch in range(3)))
    return palette


def smooth_image(size):
    """256 colours: strokes smoothed against the fill, edges kept by the mask."""
    colours, opaque = [], []
    for samples in render(size):
        inside = [ink_colour(ink, y, size) for ink, y in samples if ink is not None]
        opaque.append(is_opaque(samples))
        if opaque[-1]:
            colours.append(tuple(round(sum(c[ch] for c in inside) / len(inside)) for ch in range(3)))
        else:
            colours.append(None)
    weights = {}
    for colour in colours:
        if colour is not None:
            weights[colour] = weights.get(colour, 0) + 1
    # Index 0 stays black: transparent pixels must be black in the XOR bitmap.
    palette = [(0, 0, 0)] + median_cut(weights, 255)

    def nearest(colour):
        return min(range(1, len(palette)), key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], colour)))

    indices = [0 if colour is None else nearest(colour) for colour in colours]
    return palette, indices, opaque


def alpha_image(size):
    """Straight RGBA: the mean colour of the covered subsamples, and how much
    of the pixel they cover as its alpha, so that edges blend with any
    background."""
    pixels = []
    for samples in render(size):
        inside = [ink_colour(ink, y, size) for ink, y in samples if ink is not None]
        if not inside:
            pixels.append((0, 0, 0, 0))
            continue
        colour = tuple(round(sum(c[ch] for c in inside) / len(inside)) for ch in range(3))
        pixels.append(colour + (round(255 * len(inside) / len(samples)),))
    return pixels


def dib32(size, pixels):
    """BITMAPINFOHEADER, BGRA rows bottom-up, and an AND mask that is set
    where the image is fully transparent, for drawers that ignore alpha."""
    and_stride = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         (size * 4 + and_stride) * size, 0, 0, 0, 0)
    xor_rows, and_rows = [], []
    for y in reversed(range(size)):
        row = pixels[y * size:(y + 1) * size]
        xor_rows.append(b"".join(struct.pack("<BBBB", b, g, r, a) for r, g, b, a in row))
        bits = 0
        for _, _, _, a in row:
            bits = (bits << 1) | (1 if a == 0 else 0)
        and_rows.append(bits.to_bytes(size // 8, "big").ljust(and_stride, b"\0"))
    return header + b"".join(xor_rows) + b"".join(and_rows)


def png(size, pixels):
    """An RGBA PNG, rows unfiltered, compressed at a fixed level."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(v for p in pixels[y * size:(y + 1) * size] for v in p) for y in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def dib(size, bpp, palette, indices, opaque):
    """BITMAPINFOHEADER, palette, XOR bitmap and AND mask, rows bottom-up."""
    xor_stride = (size * bpp + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0,
                         (xor_stride + and_stride) * size, 0, 0, 0, 0)
    colours = palette + [(0, 0, 0)] * ((1 << bpp) - len(palette))
    quads = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in colours)
    xor_rows, and_rows = [], []
    for y in reversed(range(size)):
        row = indices[y * size:(y + 1) * size]
        if bpp == 4:
            packed = bytes((row[i] << 4) | row[i + 1] for i in range(0, size, 2))
        else:
            packed = bytes(row)
        xor_rows.append(packed.ljust(xor_stride, b"\0"))
        bits = 0
        for x in range(size):
            bits = (bits << 1) | (0 if opaque[y * size + x] else 1)
        and_rows.append(bits.to_bytes(size // 8, "big").ljust(and_stride, b"\0"))
    return header + quads + b"".join(xor_rows) + b"".join(and_rows)


def icon_file(images):
    """ICONDIR, one ICONDIRENTRY per image, then the images."""
    offset = 6 + 16 * len(images)
    directory, data = struct.pack("<HHH", 0, 1, len(images)), b""
    for size, bpp, image in images:
        colour_count = 1 << bpp if bpp < 8 else 0
        side = size if size < 256 else 0  # a byte: 0 stands for 256
        directory += struct.pack("<BBBBHHII", side, side, colour_count, 0, 1, bpp, len(image), offset)
        offset += len(image)
        data += image
    return directory + data


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src", "resources", "Updater.ico")
    images = [
        (16, 4, dib(16, 4, *flat_image(16))),
        (32, 4, dib(32, 4, *flat_image(32))),
        (32, 8, dib(32, 8, *smooth_image(32))),
        (24, 32, dib32(24, alpha_image(24))),
        (48, 32, dib32(48, alpha_image(48))),
        (64, 32, dib32(64, alpha_image(64))),
        (256, 32, png(256, alpha_image(256))),
    ]
    with open(output, "wb") as f:
        f.write(icon_file(images))


if __name__ == "__main__":
    main()
