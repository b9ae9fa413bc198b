"""The application's icon: the logo's gold eye on a deep rounded tile, for the desktop's
launcher. One shape drawn twice: an SVG for the scalable slot and PNGs at the usual sizes."""
import numpy as np
from shapely.affinity import scale as scaled
from shapely.affinity import translate

from . import logo
from .field import smoothstep
from .shapes import box, coverage, rounded, svg_path

UNITS = 64.0          # the icon's square, in drawing units
TILE_INSET = 4.0      # the tile leaves a margin, as launcher icons do
TILE_RADIUS = 12.0
EYE_WIDTH = 44.0

_TILE_TOP = np.array((0.13, 0.10, 0.20), dtype=np.float32)
_TILE_BOTTOM = np.array((0.04, 0.03, 0.07), dtype=np.float32)
_GOLD_TOP = np.array((0.99, 0.88, 0.58), dtype=np.float32)
_GOLD_BOTTOM = np.array((0.86, 0.63, 0.22), dtype=np.float32)

PNG_SIZES = (16, 22, 24, 32, 48, 64, 128, 256, 512)


def _shapes():
    tile = rounded(box(TILE_INSET, TILE_INSET, UNITS - TILE_INSET, UNITS - TILE_INSET),
                   TILE_RADIUS)
    emblem, width = logo._emblem(logo.CAP * 1.6)  # pylint: disable=protected-access
    factor = EYE_WIDTH / width
    eye = scaled(emblem, factor, factor, origin=(0, 0))
    minx, miny, maxx, maxy = eye.bounds
    eye = translate(eye, (UNITS - (maxx - minx)) / 2 - minx, (UNITS - (maxy - miny)) / 2 - miny)
    return tile, eye


def _hex(rgb):
    return "#" + "".join(f"{int(round(c * 255)):02x}" for c in rgb)


def svg():
    tile, eye = _shapes()
    size = int(UNITS)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
            f'viewBox="0 0 {size} {size}">'
            '<defs>'
            '<linearGradient id="tile" x1="0" y1="0" x2="0" y2="1">'
            f'<stop offset="0" stop-color="{_hex(_TILE_TOP)}"/>'
            f'<stop offset="1" stop-color="{_hex(_TILE_BOTTOM)}"/></linearGradient>'
            '<linearGradient id="gold" x1="0" y1="0" x2="0" y2="1">'
            f'<stop offset="0.15" stop-color="{_hex(_GOLD_TOP)}"/>'
            f'<stop offset="0.85" stop-color="{_hex(_GOLD_BOTTOM)}"/></linearGradient>'
            '</defs>'
            f'<path fill="url(#tile)" d="{svg_path(tile)}"/>'
            f'<path fill="url(#gold)" fill-rule="evenodd" d="{svg_path(eye)}"/>'
            '</svg>\n')


def rgba(size_px):
    """The icon as a straight-alpha float image of size_px × size_px."""
    tile, eye = _shapes()
    scale = size_px / UNITS
    supersample = max(4, 256 // size_px)
    tile_alpha = coverage(tile, size_px, size_px, scale, supersample=supersample)
    eye_alpha = coverage(eye, size_px, size_px, scale, supersample=supersample)
    ys = np.linspace(0, 1, size_px, dtype=np.float32)[:, None, None]
    tile_rgb = _TILE_TOP * (1 - ys) + _TILE_BOTTOM * ys
    blend = smoothstep(0.15, 0.85, ys)
    gold = _GOLD_TOP * (1 - blend) + _GOLD_BOTTOM * blend
    a = eye_alpha[..., None]
    rgb = gold * a + tile_rgb * (1 - a)
    image = np.zeros((size_px, size_px, 4), dtype=np.float32)
    image[..., :3] = rgb
    image[..., 3] = np.maximum(tile_alpha, eye_alpha)
    return image
