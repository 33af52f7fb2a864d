"""Draws Trailmere's template images into python/trailmere/格式範本/.

    python tools/make_icons.py [output folder]

Everything is drawn from geometry (no fonts), so the output is the same on
every machine. Each image is drawn at four times its file size and reduced
with Lanczos filtering, which gives smooth edges on a transparent background.
The files are twice the size the window shows them at (buttons 25 x 25, logo
50 x 50, lettering 120 x 30), so they stay sharp on a 200 % display too.
"""

from __future__ import annotations

import math
import sys
from pathlib import Path
from typing import Callable, Iterable, Sequence

from PIL import Image, ImageDraw

OVERSAMPLE = 4
# Glyph colour of the dark theme's text, and the theme's blue.
INK = (220, 228, 238, 255)
BLUE_TOP = (59, 142, 208)
BLUE_BOTTOM = (20, 72, 112)
TRAIL = (242, 169, 59, 255)
WHITE = (244, 247, 250, 255)

Point = tuple[float, float]
Painter = Callable[[ImageDraw.ImageDraw, int], None]

TEMPLATES = Path(__file__).resolve().parent.parent / "python" / "trailmere" / "格式範本"


def render(width: int, height: int, paint: Painter) -> Image.Image:
    """Paints at OVERSAMPLE times the size in unit coordinates of the height, then reduces."""
    big = Image.new("RGBA", (width * OVERSAMPLE, height * OVERSAMPLE), (0, 0, 0, 0))
    paint(ImageDraw.Draw(big), height * OVERSAMPLE)
    return big.resize((width, height), Image.Resampling.LANCZOS)


def stroke(draw: ImageDraw.ImageDraw, scale: int, points: Sequence[Point], width: float,
           fill: tuple[int, ...] = INK) -> None:
    """A polyline with round joins and round caps, in unit coordinates."""
    xy = [(x * scale, y * scale) for x, y in points]
    w = width * scale
    draw.line(xy, fill=fill, width=round(w), joint="curve")
    r = w / 2
    for x, y in (xy[0], xy[-1]):
        draw.ellipse((x - r, y - r, x + r, y + r), fill=fill)


def arc(cx: float, cy: float, rx: float, ry: float, start: float, end: float, steps: int = 48) -> list[Point]:
    """Points along an ellipse arc; angles in degrees, clockwise on screen from 3 o'clock."""
    return [
        (cx + rx * math.cos(math.radians(start + (end - start) * i / steps)),
         cy + ry * math.sin(math.radians(start + (end - start) * i / steps)))
        for i in range(steps + 1)
    ]


# Button glyphs share one stroke weight: about 2.2 pixels at 25 x 25.
GLYPH_STROKE = 0.09


def plus(draw: ImageDraw.ImageDraw, s: int) -> None:
    stroke(draw, s, [(0.5, 0.18), (0.5, 0.82)], GLYPH_STROKE + 0.01)
    stroke(draw, s, [(0.18, 0.5), (0.82, 0.5)], GLYPH_STROKE + 0.01)


def waste_bin(draw: ImageDraw.ImageDraw, s: int) -> None:
    stroke(draw, s, [(0.17, 0.27), (0.83, 0.27)], GLYPH_STROKE)
    stroke(draw, s, [(0.39, 0.27), (0.41, 0.15), (0.59, 0.15), (0.61, 0.27)], GLYPH_STROKE)
    stroke(draw, s, [(0.26, 0.37), (0.31, 0.85), (0.69, 0.85), (0.74, 0.37)], GLYPH_STROKE)
    stroke(draw, s, [(0.44, 0.45), (0.445, 0.75)], GLYPH_STROKE * 0.8)
    stroke(draw, s, [(0.56, 0.45), (0.555, 0.75)], GLYPH_STROKE * 0.8)


def question_mark(draw: ImageDraw.ImageDraw, s: int) -> None:
    hook = arc(0.5, 0.33, 0.2, 0.18, 192, 400)
    end_x, end_y = hook[-1]
    # From the end of the hook down into the stem, easing towards the centre.
    tail = [(end_x + (0.5 - end_x) * t, end_y + (0.61 - end_y) * (1 - (1 - t) ** 2)) for t in (0.25, 0.5, 0.75, 1.0)]
    stroke(draw, s, hook + tail + [(0.5, 0.65)], GLYPH_STROKE + 0.02)
    r = 0.075 * s
    draw.ellipse((0.5 * s - r, 0.84 * s - r, 0.5 * s + r, 0.84 * s + r), fill=INK)


def rounded_gradient_square(size: int, radius: float) -> Image.Image:
    """The badge behind the logo: the theme's blue, lighter at the top."""
    gradient = Image.new("RGBA", (size, size))
    pixels = gradient.load()
    assert pixels is not None
    for y in range(size):
        t = y / (size - 1)
        colour = tuple(round(a + (b - a) * t) for a, b in zip(BLUE_TOP, BLUE_BOTTOM)) + (255,)
        for x in range(size):
            pixels[x, y] = colour
    mask = Image.new("L", (size, size), 0)
    ImageDraw.Draw(mask).rounded_rectangle((0, 0, size - 1, size - 1), radius=round(radius * size), fill=255)
    badge = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    badge.paste(gradient, (0, 0), mask)
    return badge


def logo_image(size: int) -> Image.Image:
    """The square mark: a mountain range with a track climbing into it."""
    big = size * OVERSAMPLE
    canvas = rounded_gradient_square(big, 0.22)
    draw = ImageDraw.Draw(canvas)
    s = big
    ridge = [(0.1, 0.78), (0.36, 0.36), (0.47, 0.52), (0.62, 0.27), (0.9, 0.78)]
    draw.polygon([(x * s, y * s) for x, y in ridge], fill=WHITE)
    # Snow line cut back into the badge colour, so the peaks read as peaks.
    draw.polygon([(x * s, y * s) for x, y in [(0.62, 0.27), (0.555, 0.38), (0.6, 0.36), (0.63, 0.41),
                                              (0.69, 0.39)]], fill=(205, 222, 238, 255))
    trail = [(0.18, 0.88), (0.34, 0.8), (0.3, 0.7), (0.47, 0.64), (0.56, 0.55)]
    stroke(draw, s, trail, 0.055, fill=TRAIL)
    r = 0.06 * s
    x, y = 0.58 * s, 0.52 * s
    draw.ellipse((x - r, y - r, x + r, y + r), fill=TRAIL)
    return canvas.resize((size, size), Image.Resampling.LANCZOS)


# Monoline capitals of the maker's name, in units of the cap height.
LETTERS: dict[str, tuple[float, list[list[Point]]]] = {
    "V": (0.72, [[(0, 0), (0.36, 1), (0.72, 0)]]),
    "A": (0.74, [[(0, 1), (0.37, 0), (0.74, 1)], [(0.16, 0.64), (0.58, 0.64)]]),
    "R": (0.6, [[(0, 1), (0, 0), (0.32, 0)] + arc(0.32, 0.26, 0.26, 0.26, -90, 90)[1:] + [(0, 0.52)],
                [(0.3, 0.52), (0.6, 1)]]),
    "N": (0.64, [[(0, 1), (0, 0), (0.64, 1), (0.64, 0)]]),
    "H": (0.64, [[(0, 0), (0, 1)], [(0.64, 0), (0.64, 1)], [(0, 0.5), (0.64, 0.5)]]),
    "O": (0.86, [arc(0.43, 0.5, 0.43, 0.5, 0, 360, 96)]),
    "L": (0.5, [[(0, 0), (0, 1), (0.5, 1)]]),
    "T": (0.64, [[(0, 0), (0.64, 0)], [(0.32, 0), (0.32, 1)]]),
}
LETTER_SPACING = 0.34


def lettering(word: str, width: int, height: int) -> Image.Image:
    """The word in monoline capitals, centred and as large as the box allows."""
    cap_stroke = 0.17
    advance = sum(LETTERS[c][0] for c in word) + LETTER_SPACING * (len(word) - 1)
    # Extents in cap heights, the stroke included on every side.
    cap = min(0.62 * height / (1 + cap_stroke), 0.96 * width / (advance + cap_stroke))

    def paint(draw: ImageDraw.ImageDraw, s: int) -> None:
        # Laid out in file pixels; stroke() takes units of the height.
        left = (width - advance * cap) / 2
        top = (height - cap) / 2
        x = left
        for c in word:
            w, strokes = LETTERS[c]
            for line in strokes:
                pts = [((x + px * cap) / height, (top + py * cap) / height) for px, py in line]
                stroke(draw, s, pts, cap_stroke * cap / height)
            x += (w + LETTER_SPACING) * cap

    return render(width, height, paint)


def glyph(paint: Painter, size: int = 50) -> Image.Image:
    return render(size, size, paint)


def write(folder: Path, files: Iterable[tuple[str, Image.Image]]) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    for name, image in files:
        image.save(folder / name, optimize=True)
        print(folder / name)


def main(argv: list[str]) -> int:
    folder = Path(argv[1]) if len(argv) > 1 else TEMPLATES
    logo = logo_image(256)
    write(folder, [
        ("logo.png", logo.resize((100, 100), Image.Resampling.LANCZOS)),
        ("logo(僅文字).png", lettering("VARNHOLT", 240, 60)),
        ("加號001.png", glyph(plus)),
        ("垃圾桶.png", glyph(waste_bin)),
        ("問號001.png", glyph(question_mark)),
    ])
    ico = folder / "logo.ico"
    logo.save(ico, sizes=[(16, 16), (24, 24), (32, 32), (48, 48), (64, 64), (128, 128), (256, 256)])
    print(ico)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
