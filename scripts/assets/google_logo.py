"""The four-colour "G" of the Google sign-in button, drawn from circles and boxes.

It follows the brand's published button guidance: a thick open ring with a bar to the centre,
red across the top, yellow on the left, green along the bottom, blue on the right and the bar,
in the four published brand colours.
"""
from .shapes import box, coverage, ring, svg_path, union, wedge

BLUE = "#4285F4"
RED = "#EA4335"
YELLOW = "#FBBC05"
GREEN = "#34A853"

SIZE = 48.0
CX = CY = 24.0
OUTER = 22.0
INNER = 13.6
BAR = (OUTER - INNER) / 2   # half the bar's height: as thick as the ring


def parts():
    """(colour, shape) in drawing order, on a 48-unit square."""
    full = ring(CX, CY, OUTER, INNER)
    far = OUTER * 1.5

    def sector(start, end):
        return full.intersection(wedge(CX, CY, far, start, end))

    bar = box(CX - 0.4, CY - BAR, CX + OUTER - 0.15, CY + BAR)
    return [
        (RED, sector(-136, -43)),
        (YELLOW, sector(-224, -136)),
        (GREEN, sector(-316, -224)),
        (BLUE, union(sector(-360, -316), bar)),
    ]


def svg():
    paths = "".join(f'<path fill="{colour}" fill-rule="evenodd" d="{svg_path(shape)}"/>'
                    for colour, shape in parts())
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48" viewBox="0 0 48 48">'
            f"{paths}</svg>\n")


def rgba(pixels):
    """The mark as a pixels × pixels × 4 straight-alpha float image."""
    import numpy as np
    image = np.zeros((pixels, pixels, 4), dtype=np.float32)
    scale = pixels / SIZE
    for colour, shape in parts():
        rgb = np.array([int(colour[i:i + 2], 16) / 255.0 for i in (1, 3, 5)], dtype=np.float32)
        a = coverage(shape, pixels, pixels, scale, supersample=16)[..., None]
        # "over" in premultiplied form, converted back at the end
        image[..., :3] = image[..., :3] * (1 - a) + rgb * a
        image[..., 3:] = image[..., 3:] * (1 - a) + a
    alpha = image[..., 3:]
    image[..., :3] = np.where(alpha > 0, image[..., :3] / np.maximum(alpha, 1e-6), 0)
    return image
