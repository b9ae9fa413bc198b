"""The two full-window background videos: streams of light flowing out of the window's centre.

The picture is built in polar coordinates around the point behind the power button. Every
streak lives in an angular lane and travels outwards in log-radius, so it accelerates towards
the edges as if seen in perspective. Each lane moves a whole number of pattern periods per
loop, and the haze moves by one whole period, so the last frame flows into the first. Motion
blur is exact: the dash profile is integrated in closed form over the frame's exposure.
"""
from dataclasses import dataclass, field

import numpy as np

from .field import periodic_noise, smoothstep, srgb_to_linear, to_srgb


@dataclass
class Layer:
    lanes: int            # angular lanes around the circle
    occupancy: float      # share of lanes that carry a streak
    speeds: tuple         # pattern periods per loop, one is picked per lane
    brightness: float
    width_px: float       # streak half-width at the top edge, in pixels of an 800-high frame
    density: tuple        # dashes per unit of log-radius (range)
    length: tuple         # lit share of a dash period (range)


@dataclass
class Style:
    seed: int
    seconds: int
    background_centre: tuple
    background_edge: tuple
    streak_colours: tuple
    haze_colours: tuple
    haze_strength: float
    glow_colour: tuple
    glow_strength: float
    layers: list = field(default_factory=list)


CENTRE_Y = 0.49  # the power button sits just above the window's middle

CALM = Style(
    seed=4320,
    seconds=10,
    background_centre=(0.012, 0.030, 0.070),
    background_edge=(0.002, 0.004, 0.012),
    streak_colours=((0.25, 0.65, 1.00), (0.42, 0.46, 1.00), (0.22, 0.85, 1.00)),
    haze_colours=((0.00, 0.10, 0.16), (0.05, 0.03, 0.14)),
    haze_strength=0.9,
    glow_colour=(0.05, 0.16, 0.28),
    glow_strength=0.8,
    layers=[
        Layer(72, 0.55, (1,), 0.16, 2.2, (0.6, 1.0), (0.25, 0.45)),
        Layer(131, 0.45, (1, 2), 0.10, 1.4, (0.9, 1.6), (0.15, 0.35)),
        Layer(211, 0.35, (2,), 0.07, 1.0, (1.4, 2.2), (0.10, 0.25)),
    ],
)

WARM = Style(
    seed=4321,
    seconds=8,
    background_centre=(0.040, 0.020, 0.004),
    background_edge=(0.005, 0.002, 0.001),
    streak_colours=((1.00, 0.66, 0.18), (1.00, 0.47, 0.09), (1.00, 0.58, 0.13)),
    haze_colours=((0.20, 0.09, 0.01), (0.14, 0.03, 0.01)),
    haze_strength=0.45,
    glow_colour=(0.42, 0.24, 0.04),
    glow_strength=0.5,
    layers=[
        Layer(80, 0.60, (2, 3), 0.34, 2.4, (0.6, 1.0), (0.30, 0.50)),
        Layer(139, 0.50, (3, 4), 0.18, 1.5, (0.9, 1.6), (0.20, 0.40)),
        Layer(223, 0.40, (4, 5), 0.12, 1.0, (1.4, 2.2), (0.12, 0.28)),
    ],
)


def _dash_integral(p, length):
    """Antiderivative of the periodic dash profile (p / length)² on [0, length), 0 after."""
    whole = np.floor(p)
    inside = np.minimum(p - whole, length)
    return whole * (length / 3.0) + inside ** 3 / (3.0 * length * length)


class WarpStream:
    def __init__(self, style, width, height, fps):
        self.style = style
        self.fps = fps
        self.frames = style.seconds * fps
        rng = np.random.default_rng(style.seed)
        ys, xs = np.mgrid[0:height, 0:width].astype(np.float32)
        half = 0.5 * height
        dx = (xs + 0.5 - 0.5 * width) / half
        dy = (ys + 0.5 - CENTRE_Y * height) / half
        r = np.sqrt(dx * dx + dy * dy) + 1e-6
        turn = (np.arctan2(dy, dx) / (2 * np.pi)) % 1.0
        s = np.log(r)
        self.r = r
        self.s = s

        centre = np.array(srgb_to_linear(style.background_centre), dtype=np.float32)
        edge = np.array(srgb_to_linear(style.background_edge), dtype=np.float32)
        mix = smoothstep(0.0, 1.3, r)[..., None]
        self.base = centre * (1 - mix) + edge * mix
        self.glow = np.exp(-(r / 0.45) ** 2)[..., None] * np.array(
            srgb_to_linear(style.glow_colour), dtype=np.float32) * style.glow_strength

        # Haze: two noise fields that drift outwards by one whole period per loop.
        self.haze_turn = turn
        self.haze_a = [(rng.integers(1 << 30), 7, 3), (rng.integers(1 << 30), 11, 4)]
        self.haze_colours = [np.array(srgb_to_linear(c), dtype=np.float32)
                             for c in style.haze_colours]

        # Streams come out from behind the level ring (it ends at about 0.42) and quieten
        # towards the top and bottom, where the logo and the controls sit.
        envelope = smoothstep(0.18, 0.62, r) * (1.0 - 0.45 * smoothstep(0.95, 1.35, r))
        envelope *= 1.0 - 0.4 * smoothstep(0.55, 0.95, np.abs(dy))
        self.layers = []
        for layer in style.layers:
            k = layer.lanes
            lane_pos = turn * k
            lane = np.floor(lane_pos).astype(np.int64) % k
            present = rng.random(k) < layer.occupancy
            offset = rng.uniform(0.3, 0.7, k)
            gain = rng.uniform(0.35, 1.0, k) * present
            speed = rng.choice(np.array(layer.speeds), k)
            density = rng.uniform(*layer.density, k)
            length = rng.uniform(*layer.length, k)
            phase = rng.random(k)
            colour_index = rng.integers(0, len(style.streak_colours), k)
            across_px = (lane_pos - np.floor(lane_pos) - offset[lane]) * (2 * np.pi * r * half / k)
            width = layer.width_px * (height / 800.0) * (0.55 + 0.45 * np.minimum(r, 1.3))
            # A thin core in a wider glow: the glow carries the colour through 4:2:0 chroma.
            profile = (np.exp(-(across_px / width) ** 2)
                       + 0.3 * np.exp(-(across_px / (3.0 * width)) ** 2))
            profile = profile * envelope * gain[lane] * layer.brightness
            colours = np.array([srgb_to_linear(c) for c in style.streak_colours],
                               dtype=np.float32)[colour_index[lane]]
            self.layers.append(dict(
                profile=profile.astype(np.float32),
                colour=colours,
                p0=(s * density[lane] + phase[lane]).astype(np.float32),
                speed=speed[lane].astype(np.float32),
                length=length[lane].astype(np.float32),
            ))

    def haze(self, t):
        total = np.zeros(self.r.shape + (3,), dtype=np.float32)
        loop = t / self.style.seconds
        for (seed, cells_x, cells_y), colour in zip(self.haze_a, self.haze_colours):
            rng = np.random.default_rng(seed)
            y = self.s * 1.5 - loop * cells_y
            n = periodic_noise(rng, cells_x, cells_y, self.haze_turn, y, wrap_y=True)
            total += (smoothstep(0.35, 0.95, n) * smoothstep(0.05, 0.6, self.r))[..., None] * colour
        return total * self.style.haze_strength

    def frame(self, index):
        t = index / self.fps
        loop = index / self.frames
        light = self.base + self.glow * (1.0 + 0.12 * np.sin(2 * np.pi * loop))
        haze = self.haze(t)
        light = light + haze
        # Streams glow a little brighter where they cross the haze.
        lift = 1.0 + 2.5 * haze.mean(axis=2)
        for layer in self.layers:
            p = layer["p0"] - layer["speed"] * loop
            shutter = layer["speed"] / self.frames
            dash = (_dash_integral(p, layer["length"])
                    - _dash_integral(p - shutter, layer["length"])) / shutter
            light = light + (layer["profile"] * dash * lift)[..., None] * layer["colour"]
        return to_srgb(light)

    def __iter__(self):
        for index in range(self.frames):
            yield self.frame(index)
