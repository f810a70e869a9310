#!/usr/bin/python3
"""Write a few synthetic photographs as PNG (dirty, clean, dirt mask, subject mask) to look at."""
import argparse
import os
import time

import numpy as np
from PIL import Image

from synth import make_photo


def to_png(arr, path):
    Image.fromarray((np.clip(arr, 0, 1) * 255 + 0.5).astype(np.uint8)).save(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", default="/work/data/samples")
    ap.add_argument("--seed", type=int, default=1000)
    ap.add_argument("--count", type=int, default=6)
    ap.add_argument("--size", type=int, nargs=2, default=[720, 576], metavar=("H", "W"))
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for i in range(args.count):
        t = time.time()
        p = make_photo(args.seed + i, *args.size)
        took = time.time() - t
        sheet = np.concatenate([p.dirty, p.clean, np.repeat(np.clip(p.dirt_mask * 4, 0, 1)[..., None], 3, -1),
                                np.repeat(p.subject_mask[..., None], 3, -1)], axis=1)
        to_png(sheet, os.path.join(args.out, f"sample_{args.seed + i}.png"))
        to_png(p.dirty, os.path.join(args.out, f"dirty_{args.seed + i}.png"))
        print(f"seed {args.seed + i}: {took:.2f} s, dirt {p.dirt_mask.mean():.4f}, subject {p.subject_mask.mean():.3f}")


if __name__ == "__main__":
    main()
