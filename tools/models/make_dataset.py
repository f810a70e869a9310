#!/usr/bin/python3
"""Generate a folder of synthetic photographs for training or validation.

Photograph i uses seed (--seed + i), so a folder can be extended or regenerated exactly.
Training and validation sets must use seeds that do not overlap.
"""
import argparse
import os
import time
from multiprocessing import Pool

import numpy as np

from synth.dataset import photo_path, photo_size, write_photo


def job(args):
    folder, seed, base = args
    if os.path.exists(photo_path(folder, seed)):
        return 0.0
    t = time.time()
    h, w = photo_size(np.random.default_rng(seed + 7_000_000), base)
    write_photo(folder, seed, h, w)
    return time.time() - t


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", required=True, help="folder outside the repository, e.g. /work/data/train")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--count", type=int, default=400)
    ap.add_argument("--size", type=int, default=800, help="long side in pixels, +-20%%")
    ap.add_argument("--jobs", type=int, default=1)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    work = [(args.out, args.seed + i, args.size) for i in range(args.count)]
    start = time.time()
    with Pool(args.jobs) as pool:
        for n, took in enumerate(pool.imap_unordered(job, work), 1):
            if n % 20 == 0 or n == len(work):
                print(f"{n}/{len(work)} photographs, {time.time() - start:.0f} s", flush=True)


if __name__ == "__main__":
    main()
