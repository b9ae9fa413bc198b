"""Vector shapes shared by the icons, the logo and the Google mark: strokes, arcs, rings,
their outlines as SVG paths and their coverage as anti-aliased masks."""
import math

import numpy as np
from PIL import Image, ImageDraw
from shapely.geometry import LineString, MultiPolygon, Point, Polygon, box
from shapely.ops import unary_union

ROUND = 1
FLAT = 2
MITRE = 2


def arc_points(cx, cy, radius, start_deg, end_deg, steps_per_turn=256):
    """Points along a circular arc; angles in degrees, clockwise on screen (y grows down)."""
    span = end_deg - start_deg
    steps = max(2, int(abs(span) / 360.0 * steps_per_turn) + 1)
    return [(cx + radius * math.cos(math.radians(start_deg + span * i / (steps - 1))),
             cy + radius * math.sin(math.radians(start_deg + span * i / (steps - 1))))
            for i in range(steps)]


def stroke(points, width, cap=ROUND, join=ROUND, mitre_limit=5.0):
    return LineString(points).buffer(width / 2.0, resolution=32, cap_style=cap,
                                     join_style=join, mitre_limit=mitre_limit)


def disc(cx, cy, radius):
    return Point(cx, cy).buffer(radius, resolution=64)


def ring(cx, cy, outer, inner):
    return disc(cx, cy, outer).difference(disc(cx, cy, inner))


def wedge(cx, cy, radius, start_deg, end_deg):
    return Polygon([(cx, cy)] + arc_points(cx, cy, radius, start_deg, end_deg))


def rounded(geometry, radius):
    """Rounds the convex corners of a shape by `radius`."""
    return geometry.buffer(-radius, resolution=16, join_style=ROUND).buffer(
        radius, resolution=16, join_style=ROUND)


def union(*parts):
    return unary_union(parts)


def polygons(geometry):
    if geometry.is_empty:
        return []
    if isinstance(geometry, Polygon):
        return [geometry]
    if isinstance(geometry, MultiPolygon):
        return list(geometry.geoms)
    return [g for g in getattr(geometry, "geoms", []) if isinstance(g, Polygon)]


def svg_path(geometry, digits=2):
    """The outline of a shape as SVG path data, for an even-odd fill."""
    def ring_data(coords):
        points = [f"{round(x, digits):g} {round(y, digits):g}" for x, y in list(coords)[:-1]]
        return "M" + " L".join(points) + " Z"

    parts = []
    for polygon in polygons(geometry.simplify(0.01)):
        parts.append(ring_data(polygon.exterior.coords))
        parts.extend(ring_data(interior.coords) for interior in polygon.interiors)
    return " ".join(parts)


def coverage(geometry, width, height, scale, supersample=8):
    """Anti-aliased coverage (0..1 floats, height × width) of a shape drawn at `scale` px/unit."""
    big = Image.new("L", (width * supersample, height * supersample), 0)
    draw = ImageDraw.Draw(big)
    k = scale * supersample
    # Larger shapes first, so an island inside another shape's hole is drawn after the hole.
    for polygon in sorted(polygons(geometry), key=lambda g: -g.area):
        draw.polygon([(x * k, y * k) for x, y in polygon.exterior.coords], fill=255)
        for interior in polygon.interiors:
            draw.polygon([(x * k, y * k) for x, y in interior.coords], fill=0)
    small = big.reduce(supersample)
    return np.asarray(small, dtype=np.float32) / 255.0


__all__ = ["arc_points", "stroke", "disc", "ring", "wedge", "rounded", "union", "box",
           "svg_path", "coverage", "polygons", "ROUND", "FLAT", "MITRE"]
