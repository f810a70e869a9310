"""Studio backdrops: seamless paper, painted canvas and muslin, lit like a studio."""
import colorsys

import numpy as np

from .noise import fractal_field, oriented_noise, smooth_field


def backdrop_colour(rng):
    kind = rng.choice(["white", "grey", "black", "colour"], p=[0.25, 0.3, 0.15, 0.3])
    if kind == "white":
        v = rng.uniform(0.82, 0.98)
        return np.array([v, v, v]) * rng.uniform(0.97, 1.03, 3)
    if kind == "grey":
        v = rng.uniform(0.3, 0.75)
        return np.array([v, v, v]) * rng.uniform(0.96, 1.04, 3)
    if kind == "black":
        v = rng.uniform(0.03, 0.15)
        return np.array([v, v, v]) * rng.uniform(0.9, 1.1, 3)
    h, s, v = rng.random(), rng.uniform(0.15, 0.8), rng.uniform(0.2, 0.9)
    return np.array(colorsys.hsv_to_rgb(h, s, v))


def lighting(rng, h, w):
    """Multiplicative light: vignette, gradient and a soft hotspot behind the subject."""
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    yy, xx = yy / max(h, w), xx / max(h, w)
    cy, cx = rng.uniform(0.2, 0.7) * h / max(h, w), rng.uniform(0.25, 0.75) * w / max(h, w)
    r2 = (yy - cy) ** 2 + (xx - cx) ** 2
    light = 1.0 - rng.uniform(0.0, 0.6) * np.clip(r2 / rng.uniform(0.15, 0.6), 0, 1.5)
    angle = rng.uniform(0, 2 * np.pi)
    light += rng.uniform(-0.15, 0.15) * (np.cos(angle) * xx + np.sin(angle) * yy)
    if rng.random() < 0.5:
        light += rng.uniform(0.05, 0.3) * np.exp(-r2 / rng.uniform(0.01, 0.08))
    if rng.random() < 0.25:  # the paper sweeps onto the floor: a soft change of brightness
        floor = rng.uniform(0.7, 0.95) * h / max(h, w)
        band = rng.uniform(0.02, 0.1)
        light *= 1 + rng.uniform(-0.25, 0.15) * 0.5 * (1 + np.tanh((yy - floor) / band * 2))
    return np.clip(light, 0.15, 1.4).astype(np.float32)


def surface(rng, h, w):
    """Texture of the material itself, multiplicative around 1."""
    kind = rng.choice(["paper", "canvas", "muslin"], p=[0.45, 0.35, 0.2])
    tex = np.ones((h, w), np.float32)
    if kind == "paper":
        tex += rng.uniform(0.0, 0.015) * fractal_field(rng, h, w, rng.uniform(40, 200), 3)
    elif kind == "canvas":  # painted mottling, the classic portrait backdrop
        tex += rng.uniform(0.04, 0.2) * fractal_field(rng, h, w, rng.uniform(60, 300), 5, 0.6)
    else:  # muslin: folds plus a fine weave
        fold = oriented_noise(rng, h // 4 + 1, w // 4 + 1, rng.uniform(6, 20), rng.uniform(1.5, 4),
                              rng.uniform(0, np.pi))
        fold = np.kron(fold, np.ones((4, 4), np.float32))[:h, :w]
        tex += rng.uniform(0.03, 0.12) * fold
        tex += rng.uniform(0.02, 0.08) * fractal_field(rng, h, w, rng.uniform(80, 250), 4)
        tex += weave(rng, h, w)
    return tex


def weave(rng, h, w):
    period = rng.uniform(2.2, 5.0)
    amp = rng.uniform(0.005, 0.03)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    jitter = smooth_field(rng, h, w, 30) * rng.uniform(0.5, 2.0)
    return amp * (np.sin(2 * np.pi * (xx + jitter) / period) * np.sin(2 * np.pi * (yy - jitter) / period))


def tint_field(rng, h, w):
    """Slow colour variation of painted backdrops."""
    t = np.stack([smooth_field(rng, h, w, rng.uniform(150, 400)) for _ in range(3)], -1)
    return 1.0 + rng.uniform(0.0, 0.05) * t


def make_backdrop(rng, h, w):
    base = backdrop_colour(rng).astype(np.float32)
    img = base[None, None, :] * lighting(rng, h, w)[..., None] * surface(rng, h, w)[..., None]
    img *= tint_field(rng, h, w)
    return np.clip(img, 0.0, 1.0).astype(np.float32)
