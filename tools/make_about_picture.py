#!/usr/bin/python3
# Draws the about box's picture (resources/about.jpg, resource JPG_IMAGE 276)
# and its hand cursor (resources/hand.cur, CURSOR 278). The outputs are kept
# in the repository; run this again only to change them:
#     python3 tools/make_about_picture.py
# Needs python3-pil and the DejaVu fonts (tools/setup.sh installs them).
#
# The about box paints over the picture at fixed places, in its client
# coordinates, which are the picture's plus one (it sits in a frame of one
# pixel): the version text at 79,60-347,84, left free here, and the web-site
# area at 206,230-317,240, where the picture shows the web address that a
# click there opens (string 190).
import os
import struct

from PIL import Image, ImageDraw, ImageFilter, ImageFont

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FONTS = "/usr/share/fonts/truetype/dejavu/"
WIDTH, HEIGHT = 350, 250
WEB_ADDRESS = "www.tolvane.com"
WEB_AREA = (205, 229, 316, 239)  # the client area 206,230-317,240 in picture pixels

NAVY = (16, 52, 96)
BLUE = (32, 104, 184)
SKY = (64, 160, 228)
INK = (28, 40, 56)


def font(name, size):
    return ImageFont.truetype(FONTS + name, size)


def blend(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def gradient(size, top, bottom):
    """A picture of `size` fading from `top` to `bottom`, a little across too."""
    width, height = size
    picture = Image.new("RGB", size)
    pixels = picture.load()
    for y in range(height):
        for x in range(width):
            pixels[x, y] = blend(top, bottom, min(1.0, 0.8 * y / height + 0.2 * x / width))
    return picture


def draw_logo(picture, box):
    """A round badge with an arrow coming down onto a tray."""
    left, top, right, bottom = box
    scale = 4  # drawn large and reduced: smooth edges
    size = ((right - left) * scale, (bottom - top) * scale)
    badge = Image.new("RGBA", size, (0, 0, 0, 0))
    mask = Image.new("L", size, 0)
    ImageDraw.Draw(mask).ellipse((0, 0, size[0] - 1, size[1] - 1), fill=255)
    badge.paste(gradient(size, SKY, NAVY), (0, 0), mask)
    d = ImageDraw.Draw(badge)
    w, h = size
    white = (255, 255, 255, 255)
    d.rounded_rectangle((w * 0.43, h * 0.18, w * 0.57, h * 0.52), radius=w * 0.03, fill=white)
    d.polygon([(w * 0.27, h * 0.46), (w * 0.73, h * 0.46), (w * 0.5, h * 0.70)], fill=white)
    d.rounded_rectangle((w * 0.24, h * 0.74, w * 0.76, h * 0.81), radius=w * 0.03, fill=white)
    badge = badge.resize((right - left, bottom - top), Image.LANCZOS)
    shadow = Image.new("RGBA", picture.size, (0, 0, 0, 0))
    ImageDraw.Draw(shadow).ellipse((left + 2, top + 3, right + 2, bottom + 3), fill=(0, 30, 70, 70))
    picture.alpha_composite(shadow.filter(ImageFilter.GaussianBlur(3)))
    picture.alpha_composite(badge, (left, top))


def draw_downloads(picture):
    """A card with three downloads at different stages."""
    card = (14, 100, WIDTH - 14, 208)
    shadow = Image.new("RGBA", picture.size, (0, 0, 0, 0))
    ImageDraw.Draw(shadow).rounded_rectangle((card[0] + 1, card[1] + 3, card[2] + 1, card[3] + 3), 10,
                                             fill=(0, 30, 70, 60))
    picture.alpha_composite(shadow.filter(ImageFilter.GaussianBlur(4)))
    d = ImageDraw.Draw(picture)
    d.rounded_rectangle(card, 10, fill=(255, 255, 255, 255), outline=(196, 214, 234, 255))
    small = font("DejaVuSans.ttf", 11)
    tiny = font("DejaVuSans.ttf", 10)
    rows = [("tolvane-setup-2.4.1.exe", 1.0, "12.4 MB"),
            ("debian-12.5.0-netinst.iso", 0.62, "408 KB/s"),
            ("holiday-photos.zip", 0.27, "96 KB/s")]
    for index, (name, done, note) in enumerate(rows):
        top = card[1] + 12 + index * 32
        # a page with a folded corner
        d.polygon([(28, top), (38, top), (43, top + 5), (43, top + 18), (28, top + 18)],
                  fill=(236, 243, 251, 255), outline=BLUE + (255,))
        d.line([(38, top), (38, top + 5), (43, top + 5)], fill=BLUE + (255,))
        d.text((52, top - 1), name, font=small, fill=INK + (255,))
        d.text((card[2] - 12, top), note, font=tiny, fill=(96, 112, 132, 255), anchor="ra")
        bar = (52, top + 14, card[2] - 12, top + 20)
        d.rounded_rectangle(bar, 3, fill=(226, 234, 244, 255))
        end = bar[0] + round((bar[2] - bar[0]) * done)
        colour = (46, 160, 96) if done >= 1.0 else SKY
        d.rounded_rectangle((bar[0], bar[1], end, bar[3]), 3, fill=colour + (255,))


def make_picture():
    picture = gradient((WIDTH, HEIGHT), (250, 252, 255), (206, 224, 244)).convert("RGBA")
    d = ImageDraw.Draw(picture)
    # soft rings behind the badge
    for radius, alpha in ((120, 26), (90, 30), (62, 36)):
        d.ellipse((42 - radius, 42 - radius, 42 + radius, 42 + radius), outline=(255, 255, 255, alpha), width=10)
    draw_logo(picture, (14, 14, 70, 70))
    d = ImageDraw.Draw(picture)
    d.text((78, 12), "Tolvane", font=font("DejaVuSans-Bold.ttf", 26), fill=NAVY + (255,))
    d.text((79, 41), "Download Manager", font=font("DejaVuSans.ttf", 14), fill=BLUE + (255,))
    # the version is painted at 78,59 and below by the about box
    d.line([(79, 86), (WIDTH - 16, 86)], fill=(180, 204, 230, 255), width=1)
    draw_downloads(picture)

    # the footer with the web address
    footer = gradient((WIDTH, HEIGHT - 218), BLUE, NAVY)
    picture.paste(footer, (0, 218))
    d = ImageDraw.Draw(picture)
    tiny = font("DejaVuSans.ttf", 10)
    d.text((12, 229), "\u00a9 2026 Tolvane", font=tiny, fill=(200, 220, 242, 255))
    left, top, right, bottom = WEB_AREA
    d.text(((left + right) // 2, bottom - 1), WEB_ADDRESS, font=tiny, fill=(255, 255, 255, 255), anchor="ms")
    text_width = d.textlength(WEB_ADDRESS, font=tiny)
    underline = bottom + 1
    d.line([((left + right - text_width) / 2, underline), ((left + right + text_width) / 2, underline)],
           fill=(150, 210, 255, 255), width=1)
    return picture.convert("RGB")


def make_hand():
    """A white pointing hand with a dark outline, 32x32, its hot spot at the fingertip."""
    scale = 4
    size = 32 * scale
    shapes = Image.new("L", (size, size), 0)
    d = ImageDraw.Draw(shapes)
    d.rounded_rectangle((40, 4, 60, 80), radius=10, fill=255)     # index finger
    d.rounded_rectangle((60, 40, 78, 84), radius=9, fill=255)     # middle finger
    d.rounded_rectangle((78, 46, 96, 88), radius=9, fill=255)     # ring finger
    d.rounded_rectangle((96, 54, 112, 92), radius=8, fill=255)    # little finger
    d.line([(44, 86), (18, 64)], fill=255, width=18)              # thumb
    d.ellipse((9, 55, 27, 73), fill=255)
    d.rounded_rectangle((34, 66, 112, 124), radius=16, fill=255)  # palm
    outline = shapes.filter(ImageFilter.MaxFilter(9))
    hand = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    hand.paste((0, 0, 0, 255), (0, 0), outline)
    hand.paste((255, 255, 255, 255), (0, 0), shapes)
    d = ImageDraw.Draw(hand)
    for x, top in ((60, 44), (78, 50), (96, 58)):                # gaps between the fingers
        d.line([(x, top), (x, top + 26)], fill=(0, 0, 0, 255), width=4)
    hand = hand.resize((32, 32), Image.LANCZOS)
    return hand, (12, 0)


def write_cursor(path, image, hotspot):
    """A .cur file with one 32-bit image and its AND mask."""
    width, height = image.size
    pixels = image.load()
    colour = bytearray()
    mask = bytearray()
    for y in reversed(range(height)):  # bottom-up rows
        bits = 0
        for x in range(width):
            r, g, b, a = pixels[x, y]
            colour += bytes((b, g, r, a))
            bits = (bits << 1) | (1 if a < 128 else 0)
        mask += bits.to_bytes(width // 8, "big")
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, len(colour) + len(mask), 0, 0, 0, 0)
    image_data = header + bytes(colour) + bytes(mask)
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", width, height, 0, 0, hotspot[0], hotspot[1], len(image_data), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image_data)


def main():
    make_picture().save(os.path.join(ROOT, "resources", "about.jpg"), quality=92, subsampling=0, optimize=True)
    hand, hotspot = make_hand()
    write_cursor(os.path.join(ROOT, "resources", "hand.cur"), hand, hotspot)


if __name__ == "__main__":
    main()
