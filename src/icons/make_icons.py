#!/usr/bin/env python3
"""Draw the window icon (logo.png) and the footer strip (wave.png).

Standard library only, so the pictures can be redrawn on any machine:
    python3 make_icons.py
writes both files next to this script.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

CLEAR = (0, 0, 0, 0)


def write_png(path, width, height, rows):
    """Write 8-bit RGBA rows (each a bytes object of width * 4) as a PNG."""

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    packer = zlib.compressobj(9)
    idat = bytearray()
    count = 0
    for row in rows:
        if len(row) != width * 4:
            raise ValueError("row %d has %d bytes, expected %d" % (count, len(row), width * 4))
        # Filter type 0: flat colours already compress well unfiltered.
        idat += packer.compress(b"\x00" + bytes(row))
        count += 1
    if count != height:
        raise ValueError("got %d rows, expected %d" % (count, height))
    idat += packer.flush()

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", ihdr))
        f.write(chunk(b"IDAT", bytes(idat)))
        f.write(chunk(b"IEND", b""))


def logo_rows(width=3750, height=1704):
    """A rounded dark-blue badge crossed by a light stripe, on a clear background."""
    margin = 60
    radius = 320
    left, right = margin, width - margin
    top, bottom = margin, height - margin
    badge = bytes((16, 42, 102, 255))
    stripe = bytes((176, 208, 242, 255))
    clear = bytes(CLEAR)
    stripe_top = top + (bottom - top) * 56 // 100
    stripe_bottom = top + (bottom - top) * 70 // 100

    cache = {}
    for y in range(height):
        if y < top or y >= bottom:
            span = None
        else:
            # Inset of the badge edge at this row, from the corner arcs.
            cy = y + 0.5
            if cy < top + radius:
                dy = top + radius - cy
            elif cy > bottom - radius:
                dy = cy - (bottom - radius)
            else:
                dy = 0.0
            inset = 0 if dy == 0 else int(round(radius - math.sqrt(max(0.0, radius * radius - dy * dy))))
            colour = stripe if stripe_top <= y < stripe_bottom else badge
            span = (left + inset, right - inset, colour)
        row = cache.get(span)
        if row is None:
            if span is None:
                row = clear * width
            else:
                x0, x1, colour = span
                row = clear * x0 + colour * (x1 - x0) + clear * (width - x1)
            cache[span] = row
        yield row


def wave_rows(width=2000, height=666):
    """Layered soft-blue sine bands rising from the bottom edge, clear above."""
    # (mid height as a fraction of the picture, amplitude, wavelength, phase, RGBA)
    layers = [
        (0.30, 0.10, 1.00, 0.0, (170, 205, 240, 90)),
        (0.48, 0.09, 0.75, 1.7, (120, 170, 230, 130)),
        (0.64, 0.08, 0.60, 3.1, (70, 130, 210, 170)),
        (0.80, 0.06, 0.45, 4.4, (30, 85, 170, 210)),
    ]
    palette = [CLEAR] + [layer[4] for layer in layers]

    # Each column is drawn as runs of palette indices, then rows are read
    # from this column-major buffer with a stride, which avoids per-pixel work.
    columns = bytearray(width * height)
    for x in range(width):
        t = x / width
        col = bytearray(height)
        for index, (mid, amp, length, phase, _) in enumerate(layers, start=1):
            edge = int((mid + amp * math.sin(2 * math.pi * t / length + phase)) * height)
            edge = min(max(edge, 0), height)
            # Lower layers are drawn later, so they cover the ones above.
            col[edge:] = bytes((index,)) * (height - edge)
        columns[x * height:(x + 1) * height] = col

    tables = [bytes(palette[i][c] if i < len(palette) else 0 for i in range(256)) for c in range(4)]
    for y in range(height):
        index_row = bytes(columns[y::height])
        row = bytearray(width * 4)
        for c in range(4):
            row[c::4] = index_row.translate(tables[c])
        yield row


def main():
    write_png(os.path.join(HERE, "logo.png"), 3750, 1704, logo_rows())
    write_png(os.path.join(HERE, "wave.png"), 2000, 666, wave_rows())


if __name__ == "__main__":
    main()
