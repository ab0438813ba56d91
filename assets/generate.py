#!/usr/bin/python3
"""Draws the pictures the device program carries and saves them as PNG.

The PNG files beside this script are the editable sources of the artwork;
the build turns each into a compressed 2-bit picture with qmpicture. Run
this script again after changing a drawing (it needs python3-pil and the
DejaVu fonts, Debian packages python3-pil and fonts-dejavu-core), look at
the results, and commit the PNG files.

Every picture uses exactly four greys, the four ink levels of the panel:
white (paper), light grey, dark grey and black.
"""

import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_DIRS = ["/usr/share/fonts/truetype/dejavu", "/usr/share/fonts/dejavu"]

# The four ink levels as PNG greys.
WHITE, LIGHT, DARK, BLACK = 255, 170, 85, 0
LEVELS = [BLACK, DARK, LIGHT, WHITE]

# Shapes are drawn this many times larger and scaled down, which gives
# smooth edges once the greys are folded onto the four levels.
SS = 4


def font(name, size):
    """The font at size final pixels, for drawing on a supersampled canvas."""
    for folder in FONT_DIRS:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            return ImageFont.truetype(path, int(round(size * SS)))
    sys.exit("generate.py: font %s not found (install fonts-dejavu-core)" % name)


def sans(size):
    return font("DejaVuSans.ttf", size)


def sans_bold(size):
    return font("DejaVuSans-Bold.ttf", size)


def mono_bold(size):
    return font("DejaVuSansMono-Bold.ttf", size)


def quantize(image):
    """Folds every grey onto the nearest of the four ink levels."""
    table = [min(LEVELS, key=lambda level: abs(level - v)) for v in range(256)]
    return image.point(table)


class Canvas:
    """A picture drawn at SS times its size; coordinates are final pixels."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.image = Image.new("L", (width * SS, height * SS), WHITE)
        self.draw = ImageDraw.Draw(self.image)

    def s(self, v):
        return int(round(v * SS))

    def box(self, x0, y0, x1, y1):
        return [self.s(x0), self.s(y0), self.s(x1) - 1, self.s(y1) - 1]

    def rect(self, x0, y0, x1, y1, fill=None, outline=None, width=1):
        self.draw.rectangle(self.box(x0, y0, x1, y1), fill=fill, outline=outline, width=self.s(width))

    def rounded(self, x0, y0, x1, y1, radius, fill=None, outline=None, width=1):
        self.draw.rounded_rectangle(self.box(x0, y0, x1, y1), radius=self.s(radius), fill=fill,
                                    outline=outline, width=self.s(width))

    def ellipse(self, x0, y0, x1, y1, fill=None, outline=None, width=1):
        self.draw.ellipse(self.box(x0, y0, x1, y1), fill=fill, outline=outline, width=self.s(width))

    def circle(self, cx, cy, r, fill=None, outline=None, width=1):
        self.ellipse(cx - r, cy - r, cx + r, cy + r, fill=fill, outline=outline, width=width)

    def line(self, points, fill=BLACK, width=1):
        self.draw.line([(self.s(x), self.s(y)) for x, y in points], fill=fill, width=self.s(width), joint="curve")

    def polygon(self, points, fill=None, outline=None):
        self.draw.polygon([(self.s(x), self.s(y)) for x, y in points], fill=fill, outline=outline)

    def pieslice(self, x0, y0, x1, y1, start, end, fill):
        self.draw.pieslice(self.box(x0, y0, x1, y1), start, end, fill=fill)

    def arc(self, x0, y0, x1, y1, start, end, fill=BLACK, width=1):
        self.draw.arc(self.box(x0, y0, x1, y1), start, end, fill=fill, width=self.s(width))

    def text_size(self, text, face):
        left, top, right, bottom = self.draw.textbbox((0, 0), text, font=face)
        return (right - left) / SS, (bottom - top) / SS

    def text(self, x, y, text, face, fill=BLACK, anchor="la"):
        self.draw.text((self.s(x), self.s(y)), text, font=face, fill=fill, anchor=anchor)

    def wrapped(self, x, y, width, text, face, line_height, fill=BLACK, centre=False):
        """Draws text wrapped at width; returns the y below the last line."""
        words, line = text.split(), ""
        lines = []
        for word in words:
            trial = (line + " " + word).strip()
            if self.text_size(trial, face)[0] <= width or not line:
                line = trial
            else:
                lines.append(line)
                line = word
        if line:
            lines.append(line)
        for row in lines:
            if centre:
                self.text(x + width / 2, y, row, face, fill, anchor="ma")
            else:
                self.text(x, y, row, face, fill)
            y += line_height
        return y

    def result(self):
        small = self.image.resize((self.width, self.height), Image.LANCZOS)
        return quantize(small)


def save(image, name):
    path = os.path.join(HERE, name + ".png")
    image.save(path, optimize=True)
    print("wrote", os.path.relpath(path))


# ---------------------------------------------------------------- the logo

def logo(c, cx, cy, size, wordmark_face=None, ink=BLACK, paper=WHITE):
    """Our mark: a quill nib standing in an open circle, drawn as one stroke
    ring with a gap at the top where the nib's point rises out of it."""
    r = size / 2
    ring = max(2.0, size / 11)
    c.arc(cx - r, cy - r, cx + r, cy + r, -60, 240, fill=ink, width=ring)
    # The nib: a pointed shield with its slit and breather hole.
    top = cy - r * 1.08
    bottom = cy + r * 0.55
    half = r * 0.42
    nib = [(cx, top), (cx + half, cy - r * 0.05), (cx + half * 0.78, bottom),
           (cx - half * 0.78, bottom), (cx - half, cy - r * 0.05)]
    c.polygon(nib, fill=ink)
    c.line([(cx, top + r * 0.25), (cx, cy + r * 0.02)], fill=paper, width=max(1.2, size / 40))
    c.circle(cx, cy + r * 0.1, max(1.5, size / 22), fill=paper)
    # The grip under the nib.
    c.rounded(cx - half * 0.9, bottom + r * 0.08, cx + half * 0.9, bottom + r * 0.26, r * 0.05, fill=ink)
    if wordmark_face is not None:
        c.text(cx + r + size * 0.22, cy, "quillmar", wordmark_face, fill=ink, anchor="lm")


# ------------------------------------------------------ drawing of a reader

def reader(c, x, y, w, h, screen_lines=True, keyboard=True):
    """A front view of the reader: body, e-paper screen, keyboard and the
    five-way controller. (x, y) is the top-left corner."""
    c.rounded(x, y, x + w, y + h, w * 0.07, fill=WHITE, outline=BLACK, width=max(2, w / 60))
    margin = w * 0.09
    screen_h = h * (0.58 if keyboard else 0.80)
    sx0, sy0, sx1, sy1 = x + margin, y + h * 0.06, x + w - margin, y + h * 0.06 + screen_h
    c.rect(sx0, sy0, sx1, sy1, fill=WHITE, outline=DARK, width=max(1.5, w / 90))
    if screen_lines:
        # A page of text on the screen: a heading and ragged lines.
        lh = screen_h / 14
        c.rect(sx0 + lh, sy0 + lh, sx0 + (sx1 - sx0) * 0.55, sy0 + lh * 1.8, fill=DARK)
        widths = [0.92, 0.88, 0.95, 0.70, 0.0, 0.90, 0.93, 0.85, 0.91, 0.60, 0.0, 0.89]
        for i, frac in enumerate(widths):
            if frac == 0:
                continue
            ly = sy0 + lh * (3 + i * 0.85)
            if ly + lh * 0.35 > sy1 - lh * 0.5:
                break
            c.rect(sx0 + lh, ly, sx0 + lh + (sx1 - sx0 - 2 * lh) * frac, ly + lh * 0.35, fill=LIGHT)
    if keyboard:
        ky0 = sy1 + h * 0.05
        rows, cols = 3, 10
        kw = (sx1 - sx0) / cols
        kh = h * 0.045
        for r in range(rows):
            for col in range(cols):
                if r == 2 and col in (0, 9):
                    continue
                kx = sx0 + col * kw
                ky = ky0 + r * (kh * 1.45)
                c.rounded(kx + kw * 0.12, ky, kx + kw * 0.88, ky + kh, kw * 0.18, fill=DARK)
        # Space bar and, beside it, the five-way controller.
        sb_y = ky0 + 3 * kh * 1.45
        c.rounded(sx0 + kw * 2.1, sb_y, sx0 + kw * 6.9, sb_y + kh, kw * 0.18, fill=DARK)
        fx, fy, fr = sx0 + kw * 8.5, sb_y + kh / 2, kh * 1.05
        c.circle(fx, fy, fr, fill=WHITE, outline=BLACK, width=max(1.5, w / 90))
        c.circle(fx, fy, fr * 0.42, fill=BLACK)
    else:
        fx, fy, fr = x + w / 2, y + h * 0.92, w * 0.06
        c.circle(fx, fy, fr, fill=WHITE, outline=BLACK, width=max(1.5, w / 90))


# ------------------------------------------------------- developer menu

MENU = [
    ("I", "Initialise and format", "the partitions of the internal storage"),
    ("E", "Export user storage", "to a computer over USB"),
    ("U", "Update from user storage", "install the update file found there"),
    ("M", "Update from the second MMC", "install from the inserted card"),
    ("Q", "Quit and reboot", "leave this menu and restart"),
]


def developer_menu():
    c = Canvas(600, 800)
    # Title bar.
    c.rect(0, 0, 600, 92, fill=BLACK)
    logo(c, 52, 46, 50, ink=WHITE, paper=BLACK)
    c.text(96, 14, "Development menu", sans_bold(34), fill=WHITE)
    c.text(98, 62, "quillmar recovery", sans(15), fill=LIGHT)
    # The reader, with a cable to show where the console and USB go.
    reader(c, 212, 112, 176, 262)
    c.line([(300, 374), (300, 396), (360, 396)], fill=DARK, width=3)
    c.rounded(360, 388, 392, 404, 3, fill=DARK)
    c.text(400, 388, "serial console / USB", sans(13), fill=DARK)
    c.text(300, 420, "Type a letter on the console:", sans_bold(19), anchor="ma")
    # The five letters and what they do.
    y = 458
    for letter, action, detail in MENU:
        c.rounded(60, y, 112, y + 52, 9, fill=BLACK)
        c.text(86, y + 26, letter, sans_bold(32), fill=WHITE, anchor="mm")
        c.text(132, y + 4, action, sans_bold(21))
        c.text(132, y + 31, detail, sans(16), fill=DARK)
        y += 62
    return c.result()


# ------------------------------------------------- factory-reset notice

def reset_illustration(c, cx, cy, size):
    """A small reader inside a circular arrow: everything goes round to the
    beginning."""
    r = size / 2
    c.arc(cx - r, cy - r, cx + r, cy + r, 200, 500, fill=BLACK, width=size / 14)
    # Arrow head at the end of the arc (angle 140 degrees, clockwise).
    a = math.radians(140)
    ex, ey = cx + r * math.cos(a), cy + r * math.sin(a)
    head = size / 7
    c.polygon([(ex - head, ey - head * 0.2), (ex + head * 0.9, ey - head * 0.55), (ex + head * 0.1, ey + head * 1.05)],
              fill=BLACK)
    rw, rh = size * 0.42, size * 0.58
    reader(c, cx - rw / 2, cy - rh / 2, rw, rh, screen_lines=False, keyboard=False)
    # A sparkle on the fresh screen.
    sx, sy, sr = cx, cy - rh * 0.08, size * 0.09
    c.polygon([(sx, sy - sr), (sx + sr * 0.25, sy - sr * 0.25), (sx + sr, sy), (sx + sr * 0.25, sy + sr * 0.25),
               (sx, sy + sr), (sx - sr * 0.25, sy + sr * 0.25), (sx - sr, sy), (sx - sr * 0.25, sy - sr * 0.25)],
              fill=DARK)


def erase_notice(width, height, band_top, field_left, k):
    """The notice asking to type RESET. The black band (94 rows) and the
    white field (400 x 44) inside it are where the program draws the typed
    letters; everything else scales with k."""
    c = Canvas(width, height)
    band_bottom = band_top + 94  # rows band_top .. band_top + 93
    field_top = band_top + 25
    # The logo, centred above the band.
    logo_size = 76 * k
    face = sans_bold(46 * k)
    word_w = c.text_size("quillmar", face)[0]
    total = logo_size + logo_size * 0.22 + word_w
    lx = (width - total) / 2 + logo_size / 2
    logo(c, lx, band_top / 2 + 4 * k, logo_size, wordmark_face=face)
    # The band and its field.
    c.rect(0, band_top, width, band_bottom, fill=BLACK)
    c.rounded(field_left, field_top, field_left + 400, field_top + 44, 12, fill=WHITE)
    c.text(width / 2, band_top + 4, "TYPE HERE", sans_bold(13), fill=LIGHT, anchor="ma")
    c.text(width / 2, field_top + 48, "R  E  S  E  T", sans_bold(13), fill=LIGHT, anchor="ma")
    # Illustration, heading and paragraph.
    y = band_bottom + 22 * k
    ill = 122 * k
    reset_illustration(c, width / 2, y + ill / 2, ill)
    y += ill + 22 * k
    c.text(width / 2, y, "Reset to factory defaults", sans_bold(31 * k), anchor="ma")
    y += 48 * k
    text_w = width - 2 * 62 * k
    y = c.wrapped(62 * k, y,  text_w,
                  "Everything stored on this reader - books, documents and settings - will be erased, "
                  "and the reader will start again as it left the factory.",
                  sans(18 * k), 25 * k, centre=True)
    y += 10 * k
    y = c.wrapped(62 * k, y, text_w,
                  "To go ahead, type the word RESET on the keyboard.",
                  sans_bold(18 * k), 25 * k, centre=True)
    # The cancel button and what it means.
    bw, bh = 220 * k, 50 * k
    by = height - 108 * k
    c.rounded((width - bw) / 2, by, (width + bw) / 2, by + bh, 14 * k, fill=WHITE, outline=BLACK, width=3 * k)
    c.text(width / 2, by + bh / 2, "Cancel", sans_bold(24 * k), anchor="mm")
    c.text(width / 2, by + bh + 14 * k, "Press Enter or Select to keep everything and start normally",
           sans(14 * k), fill=DARK, anchor="ma")
    return c.result()


# ------------------------------------------------- battery lock-out

def battery_empty():
    """Shown while the battery is too empty to start the reader: an empty
    battery, a plug, and what to do. 600 x 800, centred on larger panels."""
    c = Canvas(600, 800)
    logo(c, 300, 92, 64)
    c.text(300, 168, "The battery is empty", sans_bold(36), anchor="ma")
    # The battery: an outline with its terminal, a sliver of charge left.
    bx0, by0, bx1, by1 = 140, 262, 430, 412
    c.rounded(bx0, by0, bx1, by1, 18, fill=WHITE, outline=BLACK, width=8)
    c.rounded(bx1 + 4, by0 + 48, bx1 + 30, by1 - 48, 6, fill=BLACK)
    c.rounded(bx0 + 16, by0 + 16, bx0 + 30, by1 - 16, 4, fill=DARK)
    # A lightning bolt across it: charge goes in.
    c.polygon([(300, 284), (256, 346), (292, 346), (270, 394), (338, 322), (300, 322), (322, 284)], fill=BLACK)
    # The cable and plug below.
    c.line([(285, 440), (285, 500), (330, 530), (330, 560)], fill=DARK, width=6)
    c.rounded(306, 560, 354, 612, 6, fill=BLACK)
    c.rect(316, 612, 324, 634, fill=BLACK)
    c.rect(336, 612, 344, 634, fill=BLACK)
    y = c.wrapped(70, 664, 460,
                  "Connect the reader to a charger, or with its USB cable to a computer. "
                  "It starts by itself as soon as the battery has taken some charge.",
                  sans(19), 27, centre=True)
    return c.result()


# ------------------------------------------------------------- test card

def test_card():
    w, h = 600, 800
    c = Canvas(w, h)
    c.rect(0, 0, w, h, outline=BLACK, width=3)
    c.rect(8, 8, w - 8, h - 8, outline=DARK, width=1)
    # The wedge star in a ring of circles, centred.
    cx, cy, r = 300, 330, 190
    for i in range(36):
        if i % 2 == 0:
            c.pieslice(cx - r, cy - r, cx + r, cy + r, i * 10, i * 10 + 10, fill=BLACK)
    c.circle(cx, cy, r, outline=BLACK, width=3)
    c.circle(cx, cy, r * 0.34, fill=WHITE, outline=BLACK, width=2)
    c.circle(cx, cy, r * 0.22, outline=DARK, width=2)
    c.circle(cx, cy, r * 0.10, fill=BLACK)
    c.circle(cx, cy, r + 14, outline=DARK, width=2)
    c.circle(cx, cy, r + 24, outline=LIGHT, width=2)
    # Circles in the corners, for the geometry of the panel.
    for x, y in ((62, 62), (w - 62, 62), (62, 586), (w - 62, 586)):
        c.circle(x, y, 42, outline=BLACK, width=3)
        c.circle(x, y, 26, outline=DARK, width=3)
        c.circle(x, y, 10, fill=BLACK)
        c.line([(x - 50, y), (x + 50, y)], fill=BLACK, width=1)
        c.line([(x, y - 50), (x, y + 50)], fill=BLACK, width=1)
    # The grey step wedge: the four levels side by side.
    for i, level in enumerate(LEVELS[::-1]):
        c.rect(140 + i * 80, 556, 220 + i * 80, 600, fill=level, outline=BLACK, width=1)
        c.text(180 + i * 80, 604, str(i), sans_bold(14), anchor="ma")
    for i in range(4):
        c.text(60 + i * 125 + 56, 694, "%d px" % (i + 1), sans_bold(12), anchor="ma")
    c.text(300, 740, "quillmar panel test card", sans_bold(18), anchor="ma")
    c.text(300, 764, "600 x 800, 4 ink levels", sans(14), fill=DARK, anchor="ma")
    image = c.result()

    # Line gratings are drawn at the final size so each line is exactly
    # one, two, three or four pixels wide: sharp, as a test needs.
    px = image.load()
    for i, pitch in enumerate((1, 2, 3, 4)):
        x0, y0 = 60 + i * 125, 644
        for y in range(y0, y0 + 44):
            for x in range(x0, x0 + 54):
                px[x, y] = BLACK if ((x - x0) // pitch) % 2 == 0 else WHITE
            for x in range(x0 + 58, x0 + 112):
                px[x, y] = BLACK if ((y - y0) // pitch) % 2 == 0 else WHITE
    # A chirp across the top: lines closing in from 6 pixels to 1.
    x = 120
    width = 6
    while x < 480 and width >= 1:
        for y in range(16, 40):
            for dx in range(width):
                if x + dx < 480:
                    px[x + dx, y] = BLACK
        x += 2 * width
        if x > 120 + (7 - width) * 60:
            width -= 1
    return quantize(image)


# ----------------------------------------------------------------- font

def digit_font():
    """Sixteen 14 x 18 glyphs, 0 to 9 then A to F, for error codes."""
    cell_w, cell_h = 14, 18
    chars = "0123456789ABCDEF"
    big = Image.new("L", (cell_w * len(chars) * SS, cell_h * SS), WHITE)
    draw = ImageDraw.Draw(big)
    face = mono_bold(19.5)
    for i, ch in enumerate(chars):
        draw.text(((i * cell_w + cell_w / 2) * SS, (cell_h / 2 + 0.5) * SS), ch, font=face, fill=BLACK, anchor="mm")
    small = big.resize((cell_w * len(chars), cell_h), Image.LANCZOS)
    # Thin strokes must stay visible: darken the greys a little first.
    return quantize(small.point(lambda v: int(255 * (v / 255) ** 1.6)))


# --------------------------------------------------------------- sprites

def sprite_sheet():
    """Five 32 x 32 sprites stacked: 0 an empty frame with small marks,
    then R, E, S and T, drawn on white so they sit in the notice's field."""
    size = 32
    big = Image.new("L", (size * SS, size * 5 * SS), WHITE)
    draw = ImageDraw.Draw(big)
    # Sprite 0: a light frame with corner ticks and a short underline mark.
    s = SS
    draw.rounded_rectangle([2 * s, 2 * s, 30 * s - 1, 30 * s - 1], radius=5 * s, outline=LIGHT, width=2 * s)
    for (x, y) in ((2, 2), (30, 2), (2, 30), (30, 30)):
        draw.ellipse([(x - 1.5) * s, (y - 1.5) * s, (x + 1.5) * s, (y + 1.5) * s], fill=DARK)
    draw.rectangle([11 * s, 24 * s, 21 * s - 1, 26 * s - 1], fill=DARK)
    face = sans_bold(28)
    for i, ch in enumerate("REST", start=1):
        draw.text((16 * s, (i * size + 16.5) * s), ch, font=face, fill=BLACK, anchor="mm")
    small = big.resize((size, size * 5), Image.LANCZOS)
    return quantize(small)


def main():
    save(developer_menu(), "ss_recovery")
    save(erase_notice(600, 800, band_top=215, field_left=100, k=1.0), "ss_erasecheck_600x800")
    save(erase_notice(824, 1200, band_top=362, field_left=212, k=1.36), "ss_erasecheck_824x1200")
    save(test_card(), "pattern")
    save(battery_empty(), "ss_battery_empty")
    save(digit_font(), "monofont")
    save(sprite_sheet(), "sprites")


if __name__ == "__main__":
    main()
