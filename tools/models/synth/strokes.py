"""Thin anti-aliased curves (hairs, lint, strands, creases) rendered as coverage maps."""
import numpy as np
from scipy import ndimage
from skimage.draw import line_aa


def random_curve(rng, start, length, angle, wiggle, steps=None):
    """Points of a smooth random walk: `wiggle` is the turning rate in radians per pixel."""
    steps = steps or max(4, int(length / 2))
    step = length / steps
    bend = rng.normal(0, wiggle) * step  # steady curvature
    angles = angle + bend * np.arange(steps) + np.cumsum(rng.normal(0, wiggle * step, steps))
    pts = np.empty((steps + 1, 2), np.float32)
    pts[0] = start
    pts[1:] = start + np.cumsum(np.stack([np.sin(angles), np.cos(angles)], -1) * step, 0)
    return pts


def draw_polyline(cover, pts, width, opacity=1.0):
    """Max-composite a polyline (rows, cols) into `cover` with the given width in pixels."""
    h, w = cover.shape
    y0, x0 = np.floor(pts.min(0)).astype(int) - int(width) - 3
    y1, x1 = np.ceil(pts.max(0)).astype(int) + int(width) + 4
    y0c, x0c, y1c, x1c = max(0, y0), max(0, x0), min(h, y1), min(w, x1)
    if y1c <= y0c or x1c <= x0c:
        return
    local = np.zeros((y1 - y0, x1 - x0), np.float32)
    p = np.round(pts - [y0, x0]).astype(int)
    for a, b in zip(p[:-1], p[1:]):
        rr, cc, val = line_aa(a[0], a[1], b[0], b[1])
        np.maximum.at(local, (rr, cc), val.astype(np.float32))
    if width > 1.2:
        local = ndimage.grey_dilation(local, size=int(round(width)))
        local = ndimage.gaussian_filter(local, 0.5)
    elif width < 0.9:  # thinner than a pixel: weaker coverage, softer
        local = ndimage.gaussian_filter(local, 0.35) * width
    local = np.clip(local * opacity, 0, 1)
    region = cover[y0c:y1c, x0c:x1c]
    np.maximum(region, local[y0c - y0:y1c - y0, x0c - x0:x1c - x0], out=region)
