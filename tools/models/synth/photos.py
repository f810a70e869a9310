"""Real photographic texture from the sample photographs that Debian's python3-skimage ships.

Every image used here is public domain or CC0 (see tools/models/README.md). They are cut,
resized, recoloured and recombined so that subjects carry genuine camera texture.
"""
import functools
import os

import numpy as np
from PIL import Image
from scipy import ndimage

_SKIMAGE_DATA = "/usr/lib/python3/dist-packages/skimage/data"

# name -> role. "cloth" fills clothing, "hair" is fur-like, "any" fits either.
PHOTOS = {
    "astronaut.png": "cloth",
    "coffee.png": "cloth",
    "chelsea.png": "hair",
    "brick.png": "cloth",
    "grass.png": "hair",
    "gravel.png": "cloth",
    "rocket.jpg": "cloth",
    "retina.jpg": "cloth",
    "camera.png": "cloth",
    "coins.png": "cloth",
    "ihc.png": "cloth",
}
# Face of the astronaut portrait (rows, columns) used as real skin texture.
ASTRONAUT_FACE = (slice(62, 196), slice(186, 276))


def data_dir():
    return os.environ.get("TESSALINE_SKIMAGE_DATA", _SKIMAGE_DATA)


@functools.lru_cache(maxsize=None)
def load(name):
    img = Image.open(os.path.join(data_dir(), name)).convert("RGB")
    return np.asarray(img, dtype=np.float32) / 255.0


def names_for(role):
    return [n for n, r in PHOTOS.items() if r == role or role == "any"]


def random_crop(rng, name, h, w):
    """A crop of the photograph resized to h x w, at a random position and zoom."""
    src = load(name)
    sh, sw = src.shape[:2]
    zoom = rng.uniform(0.5, 1.6)
    ch = int(min(sh, max(8, h / zoom)))
    cw = int(min(sw, max(8, w / zoom)))
    y = rng.integers(0, sh - ch + 1)
    x = rng.integers(0, sw - cw + 1)
    crop = src[y:y + ch, x:x + cw]
    if rng.random() < 0.5:
        crop = crop[:, ::-1]
    return resize(crop, h, w)


def resize(img, h, w):
    factors = (h / img.shape[0], w / img.shape[1]) + ((1,) if img.ndim == 3 else ())
    out = ndimage.zoom(img, factors, order=1, grid_mode=True, mode="nearest")
    return out[:h, :w]


def recolour(rng, img, target_rgb, keep_contrast=(0.4, 1.1)):
    """Map the luminance structure of `img` onto a target colour with a random contrast."""
    lum = img @ np.array([0.299, 0.587, 0.114], np.float32)
    lum = lum - lum.mean()
    contrast = rng.uniform(*keep_contrast)
    chroma = img - img.mean(axis=(0, 1)) - lum[..., None]
    out = np.asarray(target_rgb, np.float32) + contrast * lum[..., None]
    out += rng.uniform(0.0, 0.5) * chroma
    return np.clip(out, 0.0, 1.0)


def face_texture(rng, h, w):
    """The astronaut's face, resized: real skin, eyes and shading."""
    face = load("astronaut.png")[ASTRONAUT_FACE]
    if rng.random() < 0.5:
        face = face[:, ::-1]
    return resize(face, h, w)
