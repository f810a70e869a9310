"""A folder of generated photographs, and random training crops taken from it.

Generating a photograph takes about a second, so training reads a cache made once by
make_dataset.py. Pictures are stored as 16-bit integers: clean and dirty differ by less
than 1/255 in faint stains, and 8 bits would blur that difference.
"""
import glob
import os

import numpy as np

from .photo import make_photo

SCALE16 = 65535.0


def photo_path(folder, seed):
    return os.path.join(folder, f"photo_{seed:07d}.npz")


def write_photo(folder, seed, height, width):
    p = make_photo(seed, height, width)
    q = lambda a: np.round(np.clip(a, 0, 1) * SCALE16).astype(np.uint16)
    tmp = photo_path(folder, seed) + ".tmp.npz"
    np.savez(tmp, dirty=q(p.dirty), clean=q(p.clean), dirt=q(p.dirt_mask), subject=q(p.subject_mask))
    os.replace(tmp, photo_path(folder, seed))


def photo_size(rng, base):
    """Portrait, landscape and square frames around `base` pixels on the long side."""
    long_side = int(base * rng.uniform(0.8, 1.2))
    aspect = rng.choice([0.67, 0.75, 0.8, 1.0, 1.25, 1.5])
    short = int(long_side * min(aspect, 1 / aspect))
    return (long_side, short) if aspect <= 1 else (short, long_side)


class PhotoCache:
    """All photographs of a folder in memory (about 5 MB each)."""

    def __init__(self, folder, limit=None):
        files = sorted(glob.glob(os.path.join(folder, "photo_*.npz")))[:limit]
        if not files:
            raise FileNotFoundError(f"no photographs in {folder}; run make_dataset.py first")
        self.photos = []
        for f in files:
            with np.load(f) as z:
                self.photos.append({k: z[k] for k in ("dirty", "clean", "dirt", "subject")})
        self.dirt_spots = [self._dirt_spots(p) for p in self.photos]

    @staticmethod
    def _dirt_spots(photo, limit=4096):
        """Up to `limit` coordinates where dirt is visible, for crops that centre on dirt."""
        changed = np.abs(photo["dirty"].astype(np.int32) - photo["clean"]).max(-1) > SCALE16 / 255
        spots = np.argwhere(changed)
        step = max(1, len(spots) // limit)
        return spots[::step]

    def __len__(self):
        return len(self.photos)

    def crop(self, rng, size, focus=0.0):
        """A random size x size crop (dirty, clean, dirt, subject) as float32, augmented.

        With probability `focus` the crop is placed around a visible dirt pixel: dirt covers
        a few per cent of a photograph, and crops that hold none teach only to keep still.
        """
        for _ in range(20):
            i = rng.integers(len(self.photos))
            p = self.photos[i]
            h, w = p["dirty"].shape[:2]
            if h >= size and w >= size:
                break
        else:
            raise ValueError(f"no photograph holds a {size} crop")
        spots = self.dirt_spots[i]
        if len(spots) and rng.random() < focus:
            cy, cx = spots[rng.integers(len(spots))]
            y = int(np.clip(cy - rng.integers(size // 8, size - size // 8), 0, h - size))
            x = int(np.clip(cx - rng.integers(size // 8, size - size // 8), 0, w - size))
        else:
            y, x = rng.integers(0, h - size + 1), rng.integers(0, w - size + 1)
        parts = [p[k][y:y + size, x:x + size].astype(np.float32) / SCALE16
                 for k in ("dirty", "clean", "dirt", "subject")]
        turns, flip = rng.integers(4), rng.random() < 0.5
        out = []
        for a in parts:
            a = np.rot90(a, turns, axes=(0, 1))
            out.append(np.ascontiguousarray(a[:, ::-1] if flip else a))
        return out
