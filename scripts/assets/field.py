"""Small numeric helpers the picture generators share: smooth steps, periodic noise, tone."""
import numpy as np


def smoothstep(edge0, edge1, x):
    t = np.clip((x - edge0) / (edge1 - edge0), 0.0, 1.0)
    return t * t * (3.0 - 2.0 * t)


def periodic_noise(rng, cells_x, cells_y, x, y, wrap_y=False):
    """Value noise on a grid of cells_x × cells_y cells, periodic in x (period 1).

    x and y are in cell-normalised units: x in [0, 1) covers the whole period, y is in cells.
    With wrap_y the noise is periodic in y too, with period cells_y. The lattice values come
    from `rng`, so a given seed always yields the same field.
    """
    rows = cells_y if wrap_y else cells_y + 2
    lattice = rng.random((rows, cells_x), dtype=np.float64).astype(np.float32)
    gx = np.mod(x, 1.0) * cells_x
    gy = np.mod(y, cells_y) if wrap_y else np.clip(y, 0.0, cells_y)
    ix = np.floor(gx).astype(np.int64)
    iy = np.floor(gy).astype(np.int64)
    fx = gx - ix
    fy = gy - iy
    fx = fx * fx * (3.0 - 2.0 * fx)
    fy = fy * fy * (3.0 - 2.0 * fy)
    x0 = ix % cells_x
    x1 = (ix + 1) % cells_x
    y0 = iy % rows
    y1 = (iy + 1) % rows
    top = lattice[y0, x0] * (1 - fx) + lattice[y0, x1] * fx
    bottom = lattice[y1, x0] * (1 - fx) + lattice[y1, x1] * fx
    return (top * (1 - fy) + bottom * fy).astype(np.float32)


def to_srgb(linear):
    """Linear light to sRGB encoding, after a soft shoulder that keeps highlights from clipping."""
    shaped = 1.0 - np.exp(-np.maximum(linear, 0.0))
    return np.where(shaped <= 0.0031308, 12.92 * shaped,
                    1.055 * np.power(np.maximum(shaped, 0.0031308), 1.0 / 2.4) - 0.055)


def srgb_to_linear(c):
    c = np.asarray(c, dtype=np.float32)
    return np.where(c <= 0.04045, c / 12.92, np.power((c + 0.055) / 1.055, 2.4))
