"""The "BRIMOLA VETRIX" wordmark: an eye emblem and geometric capitals in a gold gradient.

The capitals are drawn here from straight strokes and circular arcs on a cap height of 10
units (no font is involved), then filled with the app's gold, lighter at the top.
"""
import numpy as np
from shapely.affinity import translate

from .field import smoothstep
from .shapes import FLAT, MITRE, ROUND, arc_points, box, coverage, disc, ring, stroke, union

CAP = 10.0
WEIGHT = 1.05
TRACKING = 3.1      # space between letters
WORD_SPACE = 7.0

_GOLD_TOP = np.array((0.99, 0.88, 0.58), dtype=np.float32)
_GOLD_BOTTOM = np.array((0.86, 0.63, 0.22), dtype=np.float32)


def _line(*points, join=MITRE):
    return stroke(points, WEIGHT, cap=FLAT, join=join, mitre_limit=8.0)


def _bowl(x, top, bottom, reach):
    """A stem-attached bowl: out from x at `top`, round at `reach`, back to x at `bottom`."""
    radius = (bottom - top) / 2
    cy = top + radius
    points = [(x, top), (x + reach - radius, top)]
    points += arc_points(x + reach - radius, cy, radius, -90, 90, 96)
    points += [(x, bottom)]
    return _line(*points, join=ROUND)


def _letters():
    h = WEIGHT / 2
    glyphs = {
        "B": (union(_line((h, 0), (h, CAP)), _bowl(h, h, 4.8, 5.0), _bowl(h, 4.8, CAP - h, 5.6)), 6.2),
        "R": (union(_line((h, 0), (h, CAP)), _bowl(h, h, 5.4, 5.4), _line((2.9, 5.4), (6.0, CAP))), 6.4),
        "I": (_line((h, 0), (h, CAP)), WEIGHT),
        "M": (_line((h, CAP), (h, 0), (4.1, 7.6), (7.7, 0), (7.7, CAP)), 8.2),
        "O": (ring(5.2, CAP / 2, 5.2 + 0.1, 5.2 + 0.1 - WEIGHT * 1.04), 10.4),
        "L": (_line((h, 0), (h, CAP - h), (5.4, CAP - h)), 5.4),
        "A": (union(_line((0, CAP), (3.8, 0), (7.6, CAP)), _line((1.9, 6.6), (5.7, 6.6))), 7.6),
        "V": (_line((0, 0), (3.8, CAP), (7.6, 0)), 7.6),
        "E": (union(_line((5.2, h), (h, h), (h, CAP - h), (5.2, CAP - h)), _line((h, 5.0), (4.6, 5.0))), 5.2),
        "T": (union(_line((0, h), (7.0, h)), _line((3.5, 0), (3.5, CAP))), 7.0),
        "X": (union(_line((0.3, 0), (6.7, CAP)), _line((6.7, 0), (0.3, CAP))), 7.0),
    }
    cap_band = box(-5, 0, 20, CAP)
    return {k: (shape.intersection(cap_band) if k != "O" else shape, width)
            for k, (shape, width) in glyphs.items()}


def _emblem(height):
    """An almond eye with a round iris, `height` units tall, its left edge at 0."""
    import math
    half_w, half_h = height * 0.82, height * 0.36
    cx, cy = half_w, CAP / 2
    top = [(cx - half_w * math.cos(t), cy - half_h * math.sin(t) ** 1.1)
           for t in [math.pi * i / 64 for i in range(65)]]
    bottom = [(x, 2 * cy - y) for x, y in reversed(top)]
    almond = stroke(top + bottom[1:], WEIGHT * 0.95, join=ROUND)
    iris = ring(cx, cy, half_h * 0.9, half_h * 0.9 - WEIGHT * 0.9).union(disc(cx, cy, half_h * 0.38))
    return union(almond, iris), 2 * half_w


def wordmark():
    """The whole logo as one shape, its top-left at (0, top of the emblem)."""
    letters = _letters()
    emblem, x = _emblem(CAP * 1.6)
    parts = [emblem]
    x += 5.0
    for word_index, word in enumerate(("BRIMOLA", "VETRIX")):
        if word_index:
            x += WORD_SPACE - TRACKING
        for ch in word:
            shape, width = letters[ch]
            parts.append(translate(shape, x, 0))
            x += width + TRACKING
    return union(*parts), x - TRACKING


def rgba(height_px):
    """The logo as a straight-alpha float image `height_px` tall (its width follows)."""
    shape, width_units = wordmark()
    margin = 0.6
    top = CAP / 2 - CAP * 0.8 - margin
    height_units = CAP * 1.6 + 2 * margin
    scale = height_px / height_units
    width_px = int(np.ceil((width_units + 2 * margin) * scale))
    width_px += width_px % 2
    placed = translate(shape, margin, -top)
    alpha = coverage(placed, width_px, height_px, scale, supersample=12)
    ys = np.linspace(0, 1, height_px, dtype=np.float32)[:, None, None]
    blend = smoothstep(0.15, 0.85, ys)
    rgb = _GOLD_TOP * (1 - blend) + _GOLD_BOTTOM * blend
    image = np.zeros((height_px, width_px, 4), dtype=np.float32)
    image[..., :3] = rgb
    image[..., 3] = alpha
    return image
