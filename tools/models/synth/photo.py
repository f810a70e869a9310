"""A whole synthetic studio portrait: backdrop, people, dirt, optics and sensor noise."""
from dataclasses import dataclass

import numpy as np
from scipy import ndimage

from .backdrop import make_backdrop
from .dirt import dirty_backdrop
from .subject import make_subjects


@dataclass
class Photo:
    dirty: np.ndarray         # H x W x 3 float32, 0..1: what the photographer has
    clean: np.ndarray         # H x W x 3: the same picture without dirt
    dirt_mask: np.ndarray     # H x W: visible dirt coverage 0..1 (zero on the subject)
    subject_mask: np.ndarray  # H x W: 1 on people, soft on hair edges


def cast_shadow(rng, backdrop, alpha):
    if not alpha.any() or rng.random() < 0.3:
        return backdrop
    dy, dx = rng.normal(0, 0.03, 2) * np.array(alpha.shape)
    moved = ndimage.shift(alpha, (dy, dx), order=1, mode="constant")
    shade = ndimage.gaussian_filter(moved, rng.uniform(5, 40)) * rng.uniform(0.05, 0.35)
    return backdrop * (1 - shade[..., None])


def soften(rng, imgs):
    """Lens and demosaicing softness, the same for every version of the picture."""
    sigma = rng.uniform(0.0, 0.8)
    if sigma < 0.25:
        return imgs
    return [ndimage.gaussian_filter(i, (sigma, sigma) + (0,) * (i.ndim - 2)) for i in imgs]


def sensor_noise(rng, shape, level):
    """Grain that both the dirty and the clean picture carry: it is not dirt."""
    sigma = rng.uniform(0.002, 0.02)
    grain = rng.standard_normal(shape[:2]).astype(np.float32)[..., None] * 0.8
    grain = grain + 0.35 * rng.standard_normal(shape).astype(np.float32)
    if rng.random() < 0.5:
        grain = ndimage.gaussian_filter(grain, (0.6, 0.6, 0))
        grain /= grain.std() + 1e-6
    return sigma * grain * np.sqrt(np.clip(level, 0.02, 1.0))


def make_photo(seed, height, width):
    """Deterministic for a given (seed, height, width)."""
    rng = np.random.default_rng(seed)
    backdrop = make_backdrop(rng, height, width)
    people, alpha = make_subjects(rng, height, width)
    backdrop = cast_shadow(rng, backdrop, alpha)
    dirty_bd, dirt = dirty_backdrop(rng, backdrop)
    keep = 1 - alpha[..., None]
    clean = backdrop * keep + people
    dirty = dirty_bd * keep + people
    dirt = dirt * (1 - alpha)
    clean, dirty, dirt, alpha = soften(rng, [clean, dirty, dirt, alpha])
    noise = sensor_noise(rng, clean.shape, clean)
    clean = np.clip(clean + noise, 0, 1).astype(np.float32)
    dirty = np.clip(dirty + noise, 0, 1).astype(np.float32)
    return Photo(dirty, clean, dirt.astype(np.float32), alpha.astype(np.float32))
