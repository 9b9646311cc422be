#!/usr/bin/python3
"""Draws the icons of the downloads list, its header and the bar's toolbars.

Writes resources/icons/<id>.ico (the build takes the committed files; run this
again after changing a drawing) and, with --preview FILE, a magnified sheet of
all icons on light and dark backgrounds to look at.

Run with the system Python, which has python3-pil (tools/setup.sh installs it):
    /usr/bin/python3 tools/make_icons.py [--preview sheet.png]

Icons are drawn at four times their size and reduced, so that lines and curves
come out even; every pixel ends up fully opaque or fully transparent, because
the image lists that show them (24-bit and 8-bit colour with a mask) have no
partial transparency.
"""
import argparse
import math
import os
import struct

from PIL import Image, ImageDraw

SCALE = 4

# Fill and outline colours.
GREEN = ((0x2E, 0xA0, 0x43), (0x1A, 0x6B, 0x2C))
BLUE = ((0x2F, 0x7F, 0xD8), (0x1B, 0x4F, 0x8F))
RED = ((0xD9, 0x34, 0x2B), (0x8E, 0x1B, 0x16))
ORANGE = ((0xF0, 0x9A, 0x1A), (0x9A, 0x5E, 0x00))
GREY = ((0x8A, 0x8F, 0x98), (0x50, 0x55, 0x5C))
WHITE = (0xFF, 0xFF, 0xFF)
INK = (0x3C, 0x40, 0x46)
PAPER = ((0xFF, 0xFF, 0xFF), (0x6B, 0x72, 0x7C))


class Canvas:
    """An icon of `size` pixels, drawn in pixel coordinates at SCALE."""

    def __init__(self, size):
        self.size = size
        self.image = Image.new("RGBA", (size * SCALE, size * SCALE), (0, 0, 0, 0))
        self.draw = ImageDraw.Draw(self.image)

    @staticmethod
    def _points(points):
        return [(x * SCALE, y * SCALE) for x, y in points]

    def box(self, x0, y0, x1, y1):
        return [x0 * SCALE, y0 * SCALE, x1 * SCALE - 1, y1 * SCALE - 1]

    def polygon(self, points, fill, outline=None):
        self.draw.polygon(self._points(points), fill=fill)
        if outline:
            pts = self._points(points)
            self.draw.line(pts + [pts[0]], fill=outline, width=SCALE, joint="curve")

    def rect(self, x0, y0, x1, y1, fill, outline=None, radius=0):
        self.draw.rounded_rectangle(self.box(x0, y0, x1, y1), radius=radius * SCALE, fill=fill,
                                    outline=outline, width=SCALE if outline else 0)

    def circle(self, cx, cy, r, fill, outline=None):
        self.draw.ellipse([(cx - r) * SCALE, (cy - r) * SCALE, (cx + r) * SCALE - 1, (cy + r) * SCALE - 1],
                          fill=fill, outline=outline, width=SCALE if outline else 0)

    def line(self, points, colour, width):
        self.draw.line(self._points(points), fill=colour, width=int(width * SCALE), joint="curve")
        for x, y in points:  # round caps
            r = width * SCALE / 2
            self.draw.ellipse([x * SCALE - r, y * SCALE - r, x * SCALE + r - 1, y * SCALE + r - 1], fill=colour)

    def arc(self, cx, cy, r, start, end, colour, width):
        w = int(width * SCALE)
        self.draw.arc([(cx - r) * SCALE, (cy - r) * SCALE, (cx + r) * SCALE, (cy + r) * SCALE], start, end,
                      fill=colour, width=w)

    def finish(self):
        small = self.image.resize((self.size, self.size), Image.BOX)
        pixels = small.load()
        for y in range(self.size):
            for x in range(self.size):
                r, g, b, a = pixels[x, y]
                pixels[x, y] = (r, g, b, 255) if a >= 100 else (0, 0, 0, 0)
        return small


# --- glyphs --------------------------------------------------------------------------

def disc(c, colours):
    c.circle(8, 8, 7.5, colours[0], colours[1])


def white_down_arrow(c):
    c.polygon([(8, 12.5), (4, 8), (6.5, 8), (6.5, 3.5), (9.5, 3.5), (9.5, 8), (12, 8)], WHITE)


def pause_bars(c, x, y, h, colour, outline=None, bar=2.5, gap=2):
    c.rect(x, y, x + bar, y + h, colour, outline)
    c.rect(x + bar + gap, y, x + 2 * bar + gap, y + h, colour, outline)


def question_mark(c, cx, top, colour, width=2):
    c.arc(cx, top + 2.5, 2.5, 180, 400, colour, width)
    c.line([(cx + 1.9, top + 4.1), (cx, top + 5.8), (cx, top + 7.2)], colour, width)
    c.circle(cx, top + 9.6, width * 0.65, colour)


def circular_arrow(c, colour):
    c.arc(8, 8.5, 5.2, 215, 505, colour, 2.2)
    # the head at the open end, upper left, pointing clockwise
    c.polygon([(0.8, 5.6), (7, 3.2), (4.6, 9.2)], colour)


def cross(c, cx, cy, half, colour, width):
    c.line([(cx - half, cy - half), (cx + half, cy + half)], colour, width)
    c.line([(cx - half, cy + half), (cx + half, cy - half)], colour, width)


def play(c, x, y, w, h, colours):
    c.polygon([(x, y), (x + w, y + h / 2), (x, y + h)], colours[0], colours[1])


def page(c, x0, y0, x1, y1):
    fold = 3.5
    c.polygon([(x0, y0), (x1 - fold, y0), (x1, y0 + fold), (x1, y1), (x0, y1)], PAPER[0], PAPER[1])
    c.polygon([(x1 - fold, y0), (x1 - fold, y0 + fold), (x1, y0 + fold)], (0xD8, 0xDC, 0xE2), PAPER[1])


# --- the icons ------------------------------------------------------------------------

def transferring(c):
    disc(c, BLUE)
    white_down_arrow(c)


def stopped(c):
    disc(c, GREY)
    pause_bars(c, 5, 4.5, 7, WHITE, bar=2.3, gap=1.5)


def complete(c):
    disc(c, GREEN)
    c.line([(4.3, 8.3), (7, 11), (11.8, 5.3)], WHITE, 2.2)


def other_state(c):
    c.circle(8, 8, 7.5, (0xD5, 0xD8, 0xDD), GREY[1])
    c.circle(8, 8, 2.2, GREY[1])


def can_resume(c):
    circular_arrow(c, GREEN[0])


def cannot_resume(c):
    c.draw.ellipse(c.box(1.5, 1.5, 14.5, 14.5), outline=RED[0], width=int(2.2 * SCALE))
    c.line([(4, 12), (12, 4)], RED[0], 2.2)


def resume_unknown(c):
    disc(c, GREY)
    question_mark(c, 8, 2.8, WHITE, 2)


def running_after_error(c):
    disc(c, ORANGE)
    white_down_arrow(c)


def ended_by_error(c):
    disc(c, RED)
    cross(c, 8, 8, 3, WHITE, 2.2)


def waiting(c):
    c.circle(8, 8, 7.5, WHITE, BLUE[1])
    c.circle(8, 8, 6.5, None, BLUE[0])
    c.line([(8, 4), (8, 8), (11, 9.5)], BLUE[1], 1.6)


# The header's image list has 256 colours: a grey of the halftone palette.
def arrow_up(c):
    c.polygon([(8, 5), (12.5, 10.5), (3.5, 10.5)], (0x66, 0x66, 0x66))


def arrow_down(c):
    c.polygon([(3.5, 5.5), (12.5, 5.5), (8, 11)], (0x66, 0x66, 0x66))


def start(c):
    play(c, 3.5, 2, 10, 12, GREEN)


def pause(c):
    pause_bars(c, 3, 2, 12, BLUE[0], BLUE[1], bar=4, gap=2)


def delete(c):
    cross(c, 8, 8, 4.8, RED[1], 4.2)
    cross(c, 8, 8, 4.8, RED[0], 2.6)


def start_all(c):
    play(c, 1, 3, 8, 10, GREEN)
    play(c, 7, 3, 8, 10, GREEN)


def pause_all(c):
    pause_bars(c, 1, 5, 10, BLUE[0], BLUE[1], bar=2.8, gap=1.4)
    pause_bars(c, 8.6, 1, 10, (0x9C, 0xC3, 0xEE), BLUE[1], bar=2.8, gap=1.4)


def log(c):
    page(c, 2.5, 1, 13.5, 15)
    for y in (5.5, 8, 10.5, 13):
        c.line([(4.8, y), (11, y) if y != 13 else (8.5, y)], GREY[1], 1)


def delete_all(c):
    cross(c, 10, 6, 4, RED[1], 3.8)
    cross(c, 10, 6, 4, (0xEE, 0x9E, 0x99), 2.2)
    cross(c, 6, 10, 4, RED[1], 4)
    cross(c, 6, 10, 4, RED[0], 2.4)


def help_(c):
    disc(c, BLUE)
    question_mark(c, 8, 2.8, WHITE, 2)


def settings(c):
    outline = []
    for i in range(32):
        angle = math.pi * 2 * (i + 0.5) / 32
        r = 7.6 if i % 4 in (0, 1) else 5.6
        outline.append((8 + r * math.cos(angle), 8 + r * math.sin(angle)))
    c.polygon(outline, GREY[0], GREY[1])
    c.circle(8, 8, 2.6, WHITE, GREY[1])


def add(c):
    c.rect(6, 1.5, 10, 14.5, GREEN[0], GREEN[1], 0.8)
    c.rect(1.5, 6, 14.5, 10, GREEN[0], GREEN[1], 0.8)
    c.rect(7, 2.5, 9, 13.5, GREEN[0])


def properties(c):
    c.rect(1.5, 1.5, 14.5, 14.5, PAPER[0], PAPER[1], 1)
    for y in (4.5, 8, 11.5):
        c.rect(3.5, y - 1, 5.5, y + 1, BLUE[0])
        c.line([(7, y), (12, y)], GREY[1], 1)


def toolbar(c):
    c.rect(0.5, 2.5, 15.5, 13.5, PAPER[0], PAPER[1], 1)
    c.rect(0.5, 2.5, 15.5, 5.5, (0xC9, 0xD6, 0xE6), PAPER[1], 1)
    for x, colours in ((2.5, GREEN), (6.5, BLUE), (10.5, RED)):
        c.rect(x, 7.5, x + 3, 10.5, colours[0], colours[1])


def bar_meter(c):
    c.rect(0.5, 1.5, 15.5, 14.5, PAPER[0], PAPER[1], 1)
    for y, length, colours in ((3.5, 10, BLUE), (7, 6, GREEN), (10.5, 8, BLUE)):
        c.rect(2.5, y, 2.5 + length, y + 2.5, colours[0])


def drop_link(c):
    # two interlocked chain links, slanted
    for x0 in (1, 6.5):
        c.draw.rounded_rectangle(c.box(x0, 5, x0 + 8.5, 11), radius=3 * SCALE, outline=BLUE[0],
                                 width=int(2 * SCALE))
    c.image = c.image.rotate(45, resample=Image.BICUBIC, center=(8 * SCALE, 8 * SCALE))
    c.draw = ImageDraw.Draw(c.image)


def minimise(c):
    c.rect(2, 8.5, 10, 10.5, INK)


def restore(c):
    c.rect(4, 1.5, 11, 7.5, None, INK)
    c.rect(4, 1.5, 11, 3, INK)
    c.rect(1, 4.5, 8, 10.5, (0xFF, 0xFF, 0xFF), INK)
    c.rect(1, 4.5, 8, 6, INK)


def close(c):
    cross(c, 6, 6, 3.5, INK, 1.8)


def back(c):
    c.polygon([(8.5, 1.5), (8.5, 10.5), (3, 6)], INK)


def forward(c):
    c.polygon([(3.5, 1.5), (3.5, 10.5), (9, 6)], INK)


def greyed(image):
    """The disabled look of a toolbar image: light grey, same shape."""
    out = image.copy()
    pixels = out.load()
    for y in range(out.height):
        for x in range(out.width):
            r, g, b, a = pixels[x, y]
            if a:
                v = int(0.3 * r + 0.59 * g + 0.11 * b)
                v = 120 + v * 100 // 255
                pixels[x, y] = (v, v, v, 255)
    return out


ICONS16 = {
    # list images 0..9
    242: transferring, 238: stopped, 239: complete, 234: other_state, 236: can_resume, 235: cannot_resume,
    240: resume_unknown, 248: running_after_error, 256: ended_by_error, 284: waiting,
    # header arrows
    282: arrow_up, 280: arrow_down,
    # main toolbar 0..13
    206: start, 210: pause, 214: delete, 226: start_all, 225: pause_all, 223: log, 229: delete_all, 230: help_,
    233: settings, 249: add, 257: properties, 288: toolbar, 289: bar_meter, 287: drop_link,
}
DISABLED = {208: 206, 212: 210, 216: 214, 227: 226, 222: 225, 224: 223, 228: 229, 231: 230, 232: 233, 250: 249,
            258: 257, 286: 288}
ICONS12 = {291: minimise, 292: restore, 290: close, 259: back, 260: forward}


def ico_bytes(image):
    """A one-image icon file: 32-bit colour with its AND mask."""
    w, h = image.size
    pixels = image.load()
    xor = bytearray()
    mask_row = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in reversed(range(h)):
        bits = bytearray(mask_row)
        for x in range(w):
            r, g, b, a = pixels[x, y]
            xor += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    data = header + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(data), 22)
    return directory + data


def render():
    images = {}
    for size, table in ((16, ICONS16), (12, ICONS12)):
        for number, paint in table.items():
            canvas = Canvas(size)
            paint(canvas)
            images[number] = canvas.finish()
    for number, source in DISABLED.items():
        images[number] = greyed(images[source])
    return images


def preview(images, path):
    order = list(ICONS16) + list(DISABLED) + list(ICONS12)
    zoom, cell, columns = 5, 20, 11
    rows = (len(order) + columns - 1) // columns
    sheet = Image.new("RGB", (columns * cell * zoom, rows * 2 * cell * zoom), (255, 255, 255))
    for index, number in enumerate(order):
        for band, background in enumerate(((255, 255, 255), (0xE0, 0xE3, 0xE8))):
            tile = Image.new("RGBA", (cell, cell), background + (255,))
            tile.alpha_composite(images[number], (2, 2))
            sheet.paste(tile.convert("RGB").resize((cell * zoom, cell * zoom), Image.NEAREST),
                        ((index % columns) * cell * zoom, ((index // columns) * 2 + band) * cell * zoom))
    sheet.save(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--preview", help="also write a magnified sheet of every icon to this PNG")
    args = parser.parse_args()
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "icons")
    os.makedirs(folder, exist_ok=True)
    images = render()
    for number, image in sorted(images.items()):
        with open(os.path.join(folder, "%d.ico" % number), "wb") as f:
            f.write(ico_bytes(image))
    if args.preview:
        preview(images, args.preview)
    print("wrote %d icons to %s" % (len(images), os.path.normpath(folder)))


if __name__ == "__main__":
    main()
