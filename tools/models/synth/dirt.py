"""Dirt on the backdrop: specks, lint and hairs, scuffs, footprints, stains and creases.

Every item is an opacity map over a window plus a colour rule; the backdrop under it is
blended towards that colour. The union of opacities is the dirt mask.
"""
import numpy as np
from scipy import ndimage

from .noise import fractal_field
from .strokes import draw_polyline, random_curve


class DirtLayer:
    def __init__(self, backdrop):
        self.img = backdrop.copy()
        self.mask = np.zeros(backdrop.shape[:2], np.float32)

    def apply(self, y0, x0, opacity, rule):
        """Blend window (y0, x0) towards rule(pixels) with per-pixel opacity."""
        h, w = self.mask.shape
        oh, ow = opacity.shape
        ys, xs = slice(max(0, y0), min(h, y0 + oh)), slice(max(0, x0), min(w, x0 + ow))
        if ys.stop <= ys.start or xs.stop <= xs.start:
            return
        a = opacity[ys.start - y0:ys.stop - y0, xs.start - x0:xs.stop - x0]
        patch = self.img[ys, xs]
        patch[:] = patch * (1 - a[..., None]) + rule(patch) * a[..., None]
        m = self.mask[ys, xs]
        m[:] = 1 - (1 - m) * (1 - a)


def colour_rule(rng, backdrop_level, strength):
    """Darker or lighter than the backdrop, slightly tinted; light dirt shows on dark paper."""
    lighter = rng.random() < (0.75 if backdrop_level < 0.3 else 0.25)
    tint = rng.uniform(0.9, 1.1, 3).astype(np.float32)
    if lighter:
        return lambda p: np.clip(p + strength * tint * (1.0 - p) + 0.05 * strength, 0, 1)
    return lambda p: np.clip(p * (1 - strength * tint), 0, 1)


def disc(rng, radius, edge):
    """A round speck at a random sub-pixel position."""
    r = int(np.ceil(radius + 2 * edge + 1))
    yy, xx = np.mgrid[-r:r + 1, -r:r + 1].astype(np.float32)
    oy, ox = rng.uniform(-0.5, 0.5, 2)
    d = np.hypot(yy - oy, (xx - ox) * rng.uniform(0.8, 1.0)) - radius
    return np.clip(0.5 - d / edge, 0, 1), r


def specks(rng, layer, level, count):
    h, w = layer.mask.shape
    for _ in range(count):
        radius = np.exp(rng.uniform(np.log(0.5), np.log(4.0)))
        edge = rng.uniform(0.6, 1.0) if rng.random() < 0.5 else rng.uniform(1.0, 3.0)
        op, r = disc(rng, radius, edge)
        op *= rng.uniform(0.35, 1.0)
        y, x = rng.integers(0, h), rng.integers(0, w)
        layer.apply(y - r, x - r, op, colour_rule(rng, level, rng.uniform(0.25, 0.9)))


def threads(rng, layer, level, count):
    """Lint (curly, short) and hairs (long, smooth)."""
    h, w = layer.mask.shape
    for _ in range(count):
        is_hair = rng.random() < 0.5
        length = rng.uniform(30, 220) if is_hair else rng.uniform(6, 60)
        wiggle = rng.uniform(0.002, 0.02) if is_hair else rng.uniform(0.03, 0.15)
        start = np.array([rng.uniform(0, h), rng.uniform(0, w)], np.float32)
        pts = random_curve(rng, np.zeros(2, np.float32), length, rng.uniform(0, 2 * np.pi), wiggle)
        lo = np.floor(pts.min(0)).astype(int) - 6
        size = np.ceil(pts.max(0)).astype(int) - lo + 7
        cover = np.zeros(tuple(size), np.float32)
        draw_polyline(cover, pts - lo, rng.uniform(0.5, 1.6) if is_hair else rng.uniform(0.8, 2.5),
                      rng.uniform(0.4, 1.0))
        y0, x0 = (start + lo).astype(int)
        layer.apply(y0, x0, cover, colour_rule(rng, level, rng.uniform(0.3, 0.85)))


def scuffs(rng, layer, level, count):
    h, w = layer.mask.shape
    for _ in range(count):
        n = rng.integers(2, 12)
        size = int(rng.uniform(30, 160))
        cover = np.zeros((size + 20, size + 20), np.float32)
        angle = rng.uniform(0, 2 * np.pi)
        for _ in range(n):
            start = np.array([10 + size / 2, 10 + size / 2]) + rng.normal(0, size * 0.12, 2)
            pts = random_curve(rng, start.astype(np.float32), rng.uniform(0.3, 0.9) * size / 2,
                               angle + rng.normal(0, 0.08), 0.01)
            draw_polyline(cover, pts, rng.uniform(1, 4), rng.uniform(0.4, 1.0))
        cover = ndimage.gaussian_filter(cover, rng.uniform(0.7, 3.0)) * rng.uniform(0.15, 0.5)
        layer.apply(rng.integers(0, h) - size // 2, rng.integers(0, w) - size // 2, cover,
                    colour_rule(rng, level, rng.uniform(0.2, 0.6)))


def footprints(rng, layer, level, count):
    h, w = layer.mask.shape
    for _ in range(count):
        length = rng.uniform(60, 240)
        width = length * rng.uniform(0.33, 0.42)
        r = int(length * 0.6) + 8
        yy, xx = np.mgrid[-r:r + 1, -r:r + 1].astype(np.float32)
        a = rng.uniform(0, 2 * np.pi)
        u, v = np.cos(a) * xx + np.sin(a) * yy, -np.sin(a) * xx + np.cos(a) * yy
        sole = np.hypot(u / (width / 2), (v + length * 0.15) / (length * 0.32)) < 1
        heel = np.hypot(u / (width * 0.42), (v - length * 0.32) / (length * 0.16)) < 1
        tread = 0.5 + 0.5 * (np.sin(v / rng.uniform(2.5, 6)) > rng.uniform(-0.5, 0.3))
        shape = (sole | heel).astype(np.float32) * tread
        shape *= 0.6 + 0.4 * np.clip(1 + 0.5 * fractal_field(rng, *shape.shape, 20, 3), 0, 1.5)
        cover = ndimage.gaussian_filter(shape, rng.uniform(0.8, 3.5)) * rng.uniform(0.08, 0.35)
        layer.apply(rng.integers(0, h) - r, rng.integers(0, w) - r, cover,
                    colour_rule(rng, level, rng.uniform(0.3, 0.7)))


def stains(rng, layer, level, count):
    h, w = layer.mask.shape
    for _ in range(count):
        size = int(np.exp(rng.uniform(np.log(16), np.log(260))))
        pad = size // 2 + 8
        n = size + 2 * pad
        yy, xx = np.mgrid[0:n, 0:n].astype(np.float32) - n / 2
        blob = np.hypot(yy, xx) / (size / 2) + 0.35 * fractal_field(rng, n, n, max(4, size / 3), 3)
        inside = np.clip((1 - blob) * rng.uniform(3, 12), 0, 1)
        cover = ndimage.gaussian_filter(inside, rng.uniform(1, max(1.5, size / 25)))
        if rng.random() < 0.4:  # dried ring: darker edge
            cover = cover * 0.5 + np.clip(1 - np.abs(blob - 1) * rng.uniform(4, 10), 0, 1) * 0.8
        cover = np.clip(cover, 0, 1) * rng.uniform(0.06, 0.35)
        stain_tint = np.array([rng.uniform(0.9, 1.0), rng.uniform(0.75, 0.95), rng.uniform(0.5, 0.9)], np.float32)
        if rng.random() < 0.5:
            rule = lambda p, t=stain_tint: np.clip(p * t ** 2, 0, 1)
        else:
            rule = colour_rule(rng, level, rng.uniform(0.25, 0.6))
        layer.apply(rng.integers(0, h) - n // 2, rng.integers(0, w) - n // 2, cover, rule)


def creases(rng, layer, level, count):
    """A fold in the paper: a bright ridge beside a shadow."""
    h, w = layer.mask.shape
    for _ in range(count):
        length = rng.uniform(60, 500)
        pts = random_curve(rng, np.zeros(2, np.float32), length, rng.uniform(0, 2 * np.pi), 0.002)
        lo = np.floor(pts.min(0)).astype(int) - 10
        size = tuple(np.ceil(pts.max(0)).astype(int) - lo + 11)
        normal = np.array([-(pts[-1] - pts[0])[1], (pts[-1] - pts[0])[0]]) / max(length, 1)
        width, gap = rng.uniform(0.8, 2.5), rng.uniform(1.0, 2.5)
        y0, x0 = int(rng.uniform(0, h)) + lo[0], int(rng.uniform(0, w)) + lo[1]
        for sign, rule in ((1, lambda p: np.clip(p * 1.25 + 0.04, 0, 1)), (-1, lambda p: p * 0.75)):
            cover = np.zeros(size, np.float32)
            draw_polyline(cover, pts - lo + sign * gap / 2 * normal, width, 1.0)
            cover = ndimage.gaussian_filter(cover, rng.uniform(0.5, 1.5)) * rng.uniform(0.1, 0.45)
            layer.apply(y0, x0, cover, rule)


def dirty_backdrop(rng, backdrop):
    """The backdrop with dirt, and the dirt mask (0 clean .. 1 fully covered)."""
    layer = DirtLayer(backdrop)
    level = float(backdrop.mean())
    area = backdrop.shape[0] * backdrop.shape[1] / 1e6  # megapixels
    amount = rng.choice([0.0, 0.3, 1.0, 2.5], p=[0.05, 0.3, 0.45, 0.2])

    def n(per_mp):
        return int(rng.poisson(per_mp * area * amount))

    stains(rng, layer, level, n(6))
    footprints(rng, layer, level, n(1.5))
    scuffs(rng, layer, level, n(4))
    creases(rng, layer, level, n(1.5))
    threads(rng, layer, level, n(25))
    specks(rng, layer, level, n(400))
    return layer.img, layer.mask
