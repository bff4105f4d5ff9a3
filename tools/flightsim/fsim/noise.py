"""Band-limited value noise on fixed random lattices.

Each octave is a lattice of random values spanning the whole scene, so any band of
texels can be made on its own and the bands agree where they meet. Sampling a lattice
over a regular texel grid is separable, which keeps the cost near a few operations per
texel per octave.
"""
import numpy as np


class Lattice:
    """Random values in [-1, 1] at the nodes of a square grid of `cell` metres whose
    node (0, 0) lies at (east0, north1), rows going south."""

    def __init__(self, rng, east0, north1, width_m, height_m, cell):
        self.east0, self.north1, self.cell = east0, north1, cell
        nx = int(np.ceil(width_m / cell)) + 3
        ny = int(np.ceil(height_m / cell)) + 3
        self.values = rng.uniform(-1.0, 1.0, size=(ny, nx)).astype(np.float32)


def _axis(coord, count):
    i = np.floor(coord).astype(np.int64)
    w = (coord - i).astype(np.float32)
    w = w * w * (3 - 2 * w)  # smoothstep keeps the noise free of visible lattice lines
    i = np.clip(i, 0, count - 2)
    return i, w


def sample_grid(lat, east, north):
    """Noise on the grid east (1-D) x north (1-D, one per output row): (len(north), len(east))."""
    ny, nx = lat.values.shape
    ix, wx = _axis((east - lat.east0) / lat.cell, nx)
    iy, wy = _axis((lat.north1 - north) / lat.cell, ny)
    r0, r1 = int(iy.min()), int(iy.max()) + 2
    rows = lat.values[r0:r1]
    cols = rows[:, ix] * (1 - wx) + rows[:, ix + 1] * wx
    iy = iy - r0
    return cols[iy] * (1 - wy)[:, None] + cols[iy + 1] * wy[:, None]


def sample_points(lat, east, north):
    """Noise at scattered points (arrays of equal shape)."""
    ny, nx = lat.values.shape
    ix, wx = _axis((np.asarray(east) - lat.east0) / lat.cell, nx)
    iy, wy = _axis((lat.north1 - np.asarray(north)) / lat.cell, ny)
    v = lat.values
    top = v[iy, ix] * (1 - wx) + v[iy, ix + 1] * wx
    bottom = v[iy + 1, ix] * (1 - wx) + v[iy + 1, ix + 1] * wx
    return top * (1 - wy) + bottom * wy
