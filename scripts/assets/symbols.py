"""The interface's symbols, drawn as white shapes on a 24-unit square.

Each symbol is one even-odd filled path, so the views can tint it with a colour overlay or
dim it with opacity; "fill" variants cut their inner mark out of the solid shape, so what
shows through is the background. Names follow the symbol names the views ask for.
"""
import math

from shapely.geometry import Polygon

from .shapes import MITRE, ROUND, arc_points, box, disc, ring, rounded, stroke, svg_path, union

LINE = 1.9        # stroke weight of outline symbols
BOLD = 2.3        # chevrons and the checkmark read better a little heavier
C = 12.0          # centre of the square


def _speaker(x, scale=1.0):
    """The speaker's body and cone, its left edge at x, vertically centred."""
    s = scale
    body = box(x, C - 3.2 * s, x + 3.6 * s, C + 3.2 * s)
    cone = [(x + 3.0 * s, C - 3.2 * s), (x + 8.2 * s, C - 7.6 * s),
            (x + 8.2 * s, C + 7.6 * s), (x + 3.0 * s, C + 3.2 * s)]
    return rounded(union(body, Polygon(cone)), 0.9 * s)


def _waves(cx, radii, width=LINE, span=46):
    return union(*[stroke(arc_points(cx, C, r, -span, span), width) for r in radii])


def _arrow_down(cx, top, bottom, head, width):
    shaft = stroke([(cx, top), (cx, bottom)], width)
    tip = stroke([(cx - head, bottom - head), (cx, bottom), (cx + head, bottom - head)], width,
                 join=MITRE)
    return union(shaft, tip)


def _exclamation(cx, top, bottom, dot_y, width):
    return union(stroke([(cx, top), (cx, bottom)], width), disc(cx, dot_y, width * 0.62))


def _triangle():
    return rounded(Polygon([(C, 2.2), (22.6, 20.6), (1.4, 20.6)]), 1.6)


def _checkmark(scale=1.0, dx=0.0, dy=0.0, width=BOLD):
    points = [(5.0, 12.6), (9.6, 17.2), (19.2, 6.6)]
    return stroke([(C + (x - C) * scale + dx, C + (y - C) * scale + dy) for x, y in points],
                  width, join=ROUND)


def _circle_arrowhead(cx, cy, radius, at_deg, clockwise, size):
    """A solid arrowhead sitting on a circle at `at_deg`, pointing along the circle."""
    a = math.radians(at_deg)
    px, py = cx + radius * math.cos(a), cy + radius * math.sin(a)
    sign = 1 if clockwise else -1
    tx, ty = -math.sin(a) * sign, math.cos(a) * sign       # direction of travel
    nx, ny = math.cos(a), math.sin(a)                       # outwards
    tip = (px + tx * size * 1.1, py + ty * size * 1.1)
    back = (px - tx * size * 0.35, py - ty * size * 0.35)
    return rounded(Polygon([tip, (back[0] + nx * size, back[1] + ny * size),
                            (back[0] - nx * size, back[1] - ny * size)]), 0.35)


def _gear(teeth, outer, inner, tooth_width, hole):
    parts = [disc(C, C, inner)]
    for i in range(teeth):
        a = 2 * math.pi * i / teeth
        ux, uy = math.cos(a), math.sin(a)
        vx, vy = -uy, ux
        w = tooth_width / 2
        parts.append(Polygon([(C + ux * (inner - 1) + vx * w * 1.25, C + uy * (inner - 1) + vy * w * 1.25),
                              (C + ux * outer + vx * w, C + uy * outer + vy * w),
                              (C + ux * outer - vx * w, C + uy * outer - vy * w),
                              (C + ux * (inner - 1) - vx * w * 1.25, C + uy * (inner - 1) - vy * w * 1.25)]))
    return rounded(union(*parts), 0.45).difference(disc(C, C, hole))


def _envelope_outline():
    frame = rounded(box(2.2, 5.0, 21.8, 19.0), 2.2)
    inner = rounded(box(2.2 + LINE, 5.0 + LINE, 21.8 - LINE, 19.0 - LINE), 2.2 - LINE * 0.6)
    flap = stroke([(3.6, 6.6), (C, 13.2), (20.4, 6.6)], LINE * 0.9, join=ROUND)
    return union(frame.difference(inner), flap.intersection(rounded(box(2.2, 5.0, 21.8, 19.0), 2.2)))


def _eye_mark(cx, cy, half_width, height, width):
    """An almond outline with a round iris, for cutting out of a disc."""
    upper = [(cx + half_width * math.cos(t), cy - height * math.sin(t))
             for t in [math.pi * i / 48 for i in range(49)]]
    lower = [(x, 2 * cy - y) for x, y in reversed(upper)]
    almond = Polygon(upper + lower[1:-1])
    outline = almond.buffer(width / 2).difference(almond.buffer(-width / 2))
    return union(outline, disc(cx, cy, height * 0.52))


def build():
    """Symbol name → shape."""
    circle = disc(C, C, 10.6)
    symbols = {
        "speaker.fill": _speaker(7.9),
        "speaker.wave.2.fill": union(_speaker(2.4), _waves(8.6, (6.0, 10.0))),
        "speaker.wave.3.fill": union(_speaker(1.2, 0.85), _waves(6.4, (5.2, 8.8, 12.4), span=44)),
        "speaker.wave.2.circle.fill": circle.difference(
            union(_speaker(5.4, 0.62), _waves(9.6, (4.2, 7.0), width=1.6, span=44))),
        "exclamationmark.triangle.fill": _triangle().difference(
            _exclamation(C, 8.6, 13.8, 17.2, 2.2)),
        "exclamationmark.triangle": union(
            _triangle().difference(_triangle().buffer(-LINE, join_style=ROUND)),
            _exclamation(C, 9.2, 13.8, 17.0, LINE)),
        "arrow.down.circle.fill": circle.difference(_arrow_down(C, 6.6, 17.0, 4.6, 2.2)),
        "arrow.down.circle": union(ring(C, C, 10.6, 10.6 - LINE),
                                   _arrow_down(C, 6.8, 16.6, 4.4, LINE)),
        "arrow.clockwise": union(stroke(arc_points(C, 12.8, 8.2, -58, 262), LINE),
                                 _circle_arrowhead(C, 12.8, 8.2, 262, True, 3.0)),
        "arrow.triangle.2.circlepath": union(
            stroke(arc_points(C, C, 8.0, 200, 318), LINE),
            _circle_arrowhead(C, C, 8.0, 318, True, 2.8),
            stroke(arc_points(C, C, 8.0, 20, 138), LINE),
            _circle_arrowhead(C, C, 8.0, 138, True, 2.8)),
        "chevron.down": stroke([(5.0, 8.8), (C, 15.6), (19.0, 8.8)], BOLD, join=ROUND),
        "chevron.left": stroke([(15.4, 4.8), (8.4, C), (15.4, 19.2)], BOLD, join=ROUND),
        "checkmark": _checkmark(),
        "checkmark.circle.fill": circle.difference(_checkmark(0.62, 0.2, 0.4, 2.2)),
        "envelope": _envelope_outline(),
        "envelope.badge.fill": union(
            rounded(box(1.6, 6.0, 20.4, 20.0), 2.4).difference(
                stroke([(2.6, 7.4), (11.0, 14.0), (19.4, 7.4)], 1.5, join=ROUND)).difference(
                disc(19.0, 6.2, 5.6)),
            disc(19.0, 6.2, 4.0)),
        "eye.circle.fill": circle.difference(_eye_mark(C, C, 7.0, 4.4, 1.6)),
        "gear": _gear(12, 10.8, 8.4, 2.4, 3.4).difference(ring(C, C, 6.6, 5.6)),
        "gearshape": rounded(_gear(8, 10.9, 8.4, 3.9, 0.1), 0.8).difference(disc(C, C, 4.0)),
        # The window's own controls in its corner.
        "xmark": union(stroke([(6.0, 6.0), (18.0, 18.0)], BOLD), stroke([(18.0, 6.0), (6.0, 18.0)], BOLD)),
        "minus": stroke([(5.5, C), (18.5, C)], BOLD),
    }
    return symbols


def svg(shape):
    return ('<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">'
            f'<path fill="#ffffff" fill-rule="evenodd" d="{svg_path(shape)}"/></svg>\n')
