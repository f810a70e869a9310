"""Smooth random fields used by every part of the generator."""
import numpy as np
from scipy import ndimage


def _cubic_matrix(n_out, n_in, cell, offset):
    """Rows of Catmull-Rom weights that resample a coarse grid at spacing `cell`."""
    pos = (np.arange(n_out, dtype=np.float32) + offset) / cell + 1.0
    base = np.floor(pos).astype(int)
    t = (pos - base)[:, None]
    w = np.concatenate([
        ((-t + 2) * t - 1) * t / 2,
        ((3 * t - 5) * t * t + 2) / 2,
        ((-3 * t + 4) * t + 1) * t / 2,
        (t - 1) * t * t / 2,
    ], axis=1).astype(np.float32)
    m = np.zeros((n_out, n_in), np.float32)
    rows = np.repeat(np.arange(n_out), 4)
    cols = np.clip((base[:, None] + np.arange(-1, 3)[None, :]).ravel(), 0, n_in - 1)
    np.add.at(m, (rows, cols), w.ravel())
    return m


def smooth_field(rng, h, w, cell):
    """Zero-mean field of roughly unit amplitude whose features are about `cell` pixels wide."""
    cell = max(1.0, float(cell))
    gh, gw = int(np.ceil(h / cell)) + 4, int(np.ceil(w / cell)) + 4
    grid = rng.standard_normal((gh, gw)).astype(np.float32)
    oy, ox = rng.uniform(0, cell, 2)
    return _cubic_matrix(h, gh, cell, oy) @ grid @ _cubic_matrix(w, gw, cell, ox).T


def fractal_field(rng, h, w, largest, octaves=4, persistence=0.55):
    """Sum of smooth fields at halving scales, normalised to unit standard deviation."""
    total = np.zeros((h, w), np.float32)
    amp, cell = 1.0, float(largest)
    for _ in range(octaves):
        if cell < 1.5:
            break
        total += amp * smooth_field(rng, h, w, cell)
        amp *= persistence
        cell /= 2.0
    std = total.std()
    return total / std if std > 1e-6 else total


def oriented_noise(rng, h, w, along, across, angle):
    """Streaky noise (hair, fabric fibres): long correlation `along` the angle, short `across`."""
    pad = int(3 * max(along, across)) + 2
    big = rng.standard_normal((h + 2 * pad, w + 2 * pad)).astype(np.float32)
    rotated = ndimage.rotate(big, np.degrees(angle), reshape=False, order=1, mode="reflect")
    smooth = ndimage.gaussian_filter(rotated, (across, along))
    back = ndimage.rotate(smooth, -np.degrees(angle), reshape=False, order=1, mode="reflect")
    out = back[pad:pad + h, pad:pad + w]
    std = out.std()
    return out / std if std > 1e-6 else out
