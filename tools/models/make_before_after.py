#!/usr/bin/python3
"""Before/after picture of one evaluation photograph at each dirt strength (PNG).

    make_before_after.py --photos /work/data/eval --index 3 --backend engine \
        --lib ../../build/lib/libtessaline.so --out samples/before_after.png

The strip shows the dirty photograph, then the result at Coarse, Medium and Fine (Automask
on), then the clean truth. --crop y x size cuts a square first, so specks stay visible.
"""
import argparse
import sys

import numpy as np
from PIL import Image

from evaluate import STRENGTHS, EngineBackend, TorchBackend, load
from synth.dataset import PhotoCache


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--photos", default="/work/data/eval")
    ap.add_argument("--index", type=int, default=0)
    ap.add_argument("--backend", choices=("engine", "torch"), default="engine")
    ap.add_argument("--lib", default="../../build/lib/libtessaline.so")
    ap.add_argument("--clean")
    ap.add_argument("--mask")
    ap.add_argument("--crop", type=int, nargs=3, metavar=("Y", "X", "SIZE"))
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    photo = PhotoCache(args.photos, args.index + 1).photos[args.index]
    dirty, clean, _ = load(photo)
    backend = TorchBackend(args.clean, args.mask) if args.backend == "torch" else EngineBackend(args.lib)
    panels = [dirty]
    for _, scale, k in STRENGTHS:
        off, on = backend.process(dirty, scale, k)
        panels.append(on if on is not None else off)
    panels.append(clean)
    if args.crop:
        y, x, s = args.crop
        panels = [p[y:y + s, x:x + s] for p in panels]
    gap = np.ones((panels[0].shape[0], 4, 3), np.float32)
    strip = np.concatenate([q for p in panels for q in (p, gap)][:-1], axis=1)
    Image.fromarray((np.clip(strip, 0, 1) * 255 + 0.5).astype(np.uint8)).save(args.out, optimize=True)
    print(f"wrote {args.out}: dirty | Coarse | Medium | Fine | clean truth")
    return 0


if __name__ == "__main__":
    sys.exit(main())
