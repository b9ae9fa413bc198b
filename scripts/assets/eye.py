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
IRIS = 0.70          # iris radius in video half-widths (the visible disc ends at 0.78)
PUPIL = 0.215        # resting pupil radius
STILL_EXTENT = 148.0 / (160.0 * 1.18)   # the still fills the face; the video overfills it

_GOLD_INNER = srgb_to_linear((1.00, 0.82, 0.42))
_GOLD_MID = srgb_to_linear((0.88, 0.60, 0.18))
_GOLD_OUTER = srgb_to_linear((0.50, 0.27, 0.06))
_LIMBUS = srgb_to_linear((0.07, 0.035, 0.012))


class Eye:
    def __init__(self, size, extent=1.0, seed=432):
        rng = np.random.default_rng(seed)
        ys, xs = np.mgrid[0:size, 0:size].astype(np.float32)
        x = ((xs + 0.5) / size * 2 - 1) * extent
        y = ((ys + 0.5) / size * 2 - 1) * extent
        self.r = np.sqrt(x * x + y * y) + 1e-6
        self.turn = (np.arctan2(y, x) / (2 * np.pi)) % 1.0
        self.x, self.y = x, y
        self.pixel = 2.0 * extent / size
        # Fibres: fine radial streaks (many cells around, few along the radius), two octaves.
        self.fibre_seeds = [rng.integers(1 << 30) for _ in range(4)]
        self.crypt_seed = rng.integers(1 << 30)
        self.collar_seed = rng.integers(1 << 30)
        self.spark_seed = rng.integers(1 << 30)
        self.pupil_wobble = rng.random(3) * 2 * np.pi

    def _noise(self, seed, cells_x, cells_y, q):
        return periodic_noise(np.random.default_rng(seed), cells_x, cells_y,
                              self.turn, q * cells_y)

    def frame(self, loop):
        """The eye at `loop` ∈ [0, 1) of its cycle, as sRGB floats."""
        phase = 2 * np.pi * loop
        r, turn = self.r, self.turn
        angle = turn * 2 * np.pi
        pupil = PUPIL * (1.0 + 0.07 * np.sin(phase) + 0.025 * np.sin(2 * phase + 1.0))
        pupil_edge = pupil * (1.0 + 0.012 * np.sin(5 * angle + self.pupil_wobble[0])
                              + 0.008 * np.sin(9 * angle + self.pupil_wobble[1]))
        # Radial position across the iris, 0 at the pupil and 1 at the rim: the fibres
        # stretch and gather as the pupil breathes, as a real iris does.
        q = np.clip((r - pupil_edge) / (IRIS - pupil_edge), 0.0, 1.0)
        fibres = (0.55 * self._noise(self.fibre_seeds[0], 160, 3, q)
                  + 0.30 * self._noise(self.fibre_seeds[1], 310, 5, q)
                  + 0.15 * self._noise(self.fibre_seeds[2], 620, 8, q))
        fibres = 0.45 + 1.1 * fibres ** 1.4
        crypts = smoothstep(0.62, 0.8, self._noise(self.crypt_seed, 28, 4, q))
        crypts *= smoothstep(0.3, 0.45, q) * (1 - smoothstep(0.8, 0.9, q))
        collar_at = 0.30 + 0.05 * (self._noise(self.collar_seed, 22, 1, q * 0) - 0.5)
        collar = np.exp(-((q - collar_at) / 0.07) ** 2)

        colour = np.where((q < 0.35)[..., None],
                          _GOLD_INNER * (1 - q / 0.35)[..., None] + _GOLD_MID * (q / 0.35)[..., None],
                          _GOLD_MID * (1 - (q - 0.35) / 0.65)[..., None]
                          + _GOLD_OUTER * ((q - 0.35) / 0.65)[..., None])
        light = colour * (fibres * (1 - 0.55 * crypts) * (1 + 0.5 * collar))[..., None]

        # A pulse of light runs outwards along the fibres twice a loop, and a soft glint
        # circles the iris once: the eye looks awake without ever moving its gaze.
        travel = np.mod(q - 2 * loop, 1.0)
        pulse = np.exp(-((travel - 0.5) / 0.12) ** 2) * (0.5 + 0.5 * self._noise(
            self.spark_seed, 90, 2, q))
        circling = np.cos(angle - phase - 0.6)
        glint = np.exp(-(1 - circling) / 0.35) * smoothstep(0.35, 0.9, q)
        light = light * (1 + 0.45 * pulse + 0.55 * glint)[..., None]

        # Dark limbal ring, then the deep surround.
        limbus = smoothstep(0.78, 1.0, q)
        light = light * (1 - limbus)[..., None] + _LIMBUS * limbus[..., None] * fibres[..., None]
        outside = smoothstep(IRIS - 0.01, IRIS + 0.05, r)
        surround = _LIMBUS * 0.5 * (1 - smoothstep(IRIS, 0.9, r))[..., None]
        light = light * (1 - outside)[..., None] + surround * outside[..., None]

        # The pupil: near black with a warm rim, its edge a pixel soft.
        inside = 1 - smoothstep(pupil_edge - 1.2 * self.pixel, pupil_edge + 1.2 * self.pixel, r)
        rim = np.exp(-((r - pupil_edge) / 0.02) ** 2) * 0.35
        deep = np.array(srgb_to_linear((0.02, 0.012, 0.006)), dtype=np.float32)
        light = light * (1 - inside)[..., None] + deep * inside[..., None]
        light = light + (rim * (1 - inside))[..., None] * _GOLD_INNER * 0.4

        # Wet reflections of a window, up and to the left: fixed, like the light in a room.
        window = np.exp(-(((self.x + 0.24) / 0.13) ** 2 + ((self.y + 0.27) / 0.085) ** 2) ** 1.5)
        spot = np.exp(-(((self.x - 0.17) ** 2 + (self.y - 0.2) ** 2) / 0.0012))
        light = light + (0.9 * window + 0.35 * spot)[..., None]
        return to_srgb(light * 1.25)

    def frames(self, fps):
        count = SECONDS * fps
        for index in range(count):
            yield self.frame(index / count)
