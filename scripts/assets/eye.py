"""The golden eye of the power button: a close view of an iris that breathes and shimmers.

One renderer draws both the looping video and the still image. The video is shown larger
than the button's face (its frame is scaled up and clipped to a circle), so the still is the
same eye seen through the smaller window: `extent` is the half-width of the picture in the
video's units. Everything that moves is a whole number of cycles per loop, so the loop has
no seam.
"""
import numpy as np

from .field import periodic_noise, smoothstep, srgb_to_linear, to_srgb

SECONDS = 8
IRIS = 0.66          # iris radius in video half-widths (the visible disc ends at 0.78)
PUPIL = 0.205        # resting pupil radius
STILL_EXTENT = 148.0 / (160.0 * 1.18)   # the still fills the face; the video overfills it
SPARKS = 70

_PALE_GOLD = srgb_to_linear((1.00, 0.86, 0.48))
_GOLD = srgb_to_linear((0.95, 0.66, 0.16))
_AMBER = srgb_to_linear((0.62, 0.33, 0.05))
_UMBER = srgb_to_linear((0.20, 0.09, 0.02))
_HALO = srgb_to_linear((0.55, 0.36, 0.10))


def _mix(a, b, t):
    t = t[..., None]
    return a * (1 - t) + b * t


class Eye:
    def __init__(self, size, extent=1.0, seed=432):
        rng = np.random.default_rng(seed)
        ys, xs = np.mgrid[0:size, 0:size].astype(np.float32)
        self.x = ((xs + 0.5) / size * 2 - 1) * extent
        self.y = ((ys + 0.5) / size * 2 - 1) * extent
        self.r = np.sqrt(self.x ** 2 + self.y ** 2) + 1e-6
        self.turn = (np.arctan2(self.y, self.x) / (2 * np.pi)) % 1.0
        self.pixel = 2.0 * extent / size
        seeds = rng.integers(1 << 30, size=8)
        # Fibres drift a little sideways as they run out, so they read as woven, not ruled.
        self.twist = 0.012 * np.sin(2 * np.pi * (3 * self.turn)) + 0.006 * np.sin(
            2 * np.pi * (7 * self.turn + 0.3))
        self.noise_rng = [np.random.default_rng(s) for s in seeds]
        self.seeds = seeds
        # Sparks: points on the iris that glint in turn, each a whole number of times a loop.
        self.spark_q = rng.uniform(0.15, 0.85, SPARKS)
        self.spark_turn = rng.random(SPARKS)
        self.spark_rate = rng.integers(1, 4, SPARKS)
        self.spark_phase = rng.random(SPARKS)

    def _noise(self, index, cells_x, cells_y, turn, q):
        return periodic_noise(np.random.default_rng(self.seeds[index]), cells_x, cells_y,
                              turn, q * cells_y)

    def frame(self, loop):
        """The eye at `loop` ∈ [0, 1) of its cycle, as sRGB floats."""
        phase = 2 * np.pi * loop
        r, x, y = self.r, self.x, self.y
        pupil = PUPIL * (1.0 + 0.06 * np.sin(phase) + 0.02 * np.sin(2 * phase + 1.0))
        # Radial position across the iris, 0 at the pupil and 1 at the rim: the fibres
        # stretch and gather as the pupil breathes, as a real iris does.
        q = np.clip((r - pupil) / (IRIS - pupil), 0.0, 1.0)
        turn = self.turn + self.twist * q
        fibres = (0.50 * self._noise(0, 150, 2, turn, q)
                  + 0.30 * self._noise(1, 330, 4, turn, q)
                  + 0.20 * self._noise(2, 700, 7, turn, q))
        fibres = 0.35 + 1.3 * smoothstep(0.2, 0.8, fibres)
        lacunae = smoothstep(0.6, 0.85, self._noise(3, 46, 5, turn, q))
        lacunae *= smoothstep(0.35, 0.5, q) * (1 - smoothstep(0.75, 0.88, q))
        collar_at = 0.33 + 0.06 * (self._noise(4, 26, 1, self.turn, q * 0) - 0.5)
        collar = np.exp(-((q - collar_at) / 0.05) ** 2)

        colour = np.where((q < 0.33)[..., None], _mix(_PALE_GOLD, _GOLD, q / 0.33),
                          _mix(_GOLD, _AMBER, smoothstep(0.33, 0.95, q)))
        light = colour * (fibres * (1 - 0.4 * lacunae) * (1 + 0.7 * collar))[..., None]

        # A pulse of light runs outwards along the fibres twice a loop, and a soft glint
        # circles the iris once: the eye looks awake without ever moving its gaze.
        travel = np.mod(q - 2 * loop, 1.0)
        pulse = np.exp(-((travel - 0.5) / 0.1) ** 2) * fibres * smoothstep(0.05, 0.3, q)
        angle = self.turn * 2 * np.pi
        glint = np.exp(-(1 - np.cos(angle - phase - 0.6)) / 0.3) * smoothstep(0.3, 0.8, q)
        light = light * (1 + 0.35 * pulse + 0.45 * glint)[..., None]

        # Sparks twinkle on the iris.
        sparkle = np.zeros_like(r)
        for i in range(SPARKS):
            level = np.sin(np.pi * np.mod(self.spark_rate[i] * loop + self.spark_phase[i], 1.0))
            if level < 0.6:
                continue
            sr = pupil + self.spark_q[i] * (IRIS - pupil)
            a = 2 * np.pi * self.spark_turn[i]
            d2 = (x - sr * np.cos(a)) ** 2 + (y - sr * np.sin(a)) ** 2
            sparkle += ((level - 0.6) / 0.4) ** 2 * np.exp(-d2 / (1.6 * self.pixel) ** 2)
        light = light + sparkle[..., None] * _PALE_GOLD * 1.6

        # Darker rim of the iris, then a faint golden halo into the dark surround.
        limbus = smoothstep(0.72, 1.0, q)
        light = _mix(light, _UMBER * fibres[..., None], limbus)
        outside = smoothstep(IRIS - 0.6 * self.pixel, IRIS + 0.6 * self.pixel, r)
        halo = _HALO * (np.exp(-((r - IRIS) / 0.03) ** 2) * 0.22 + 0.004)[..., None]
        light = _mix(light, halo, outside)

        # The pupil: deep black with a thin bright ruff at its edge, the edge a pixel soft.
        inside = 1 - smoothstep(pupil - 1.0 * self.pixel, pupil + 1.0 * self.pixel, r)
        ruff = np.exp(-((r - pupil - 0.008) / 0.012) ** 2) * (1 - inside)
        light = _mix(light, np.array(srgb_to_linear((0.012, 0.008, 0.006)), np.float32), inside)
        light = light + (0.5 * ruff)[..., None] * _GOLD

        # Wet reflections of a window, up and to the left: fixed, like the light in a room.
        wx, wy = (x + 0.2) / 0.07, (y + 0.25) / 0.045
        window = np.exp(-(wx ** 6 + wy ** 6))
        spot = np.exp(-((x - 0.16) ** 2 + (y - 0.19) ** 2) / 0.015 ** 2)
        sheen = np.exp(-((x + 0.1) ** 2 + (y + 0.12) ** 2) / 0.12 ** 2) * 0.012
        light = light + (0.85 * window + 0.45 * spot + sheen)[..., None]
        return to_srgb(light * 0.95)

    def frames(self, fps):
        count = SECONDS * fps
        for index in range(count):
            yield self.frame(index / count)
