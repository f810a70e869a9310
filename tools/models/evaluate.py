#!/usr/bin/python3
"""Quality of the cleaning at each dirt strength, against a tuned classical baseline.

    make_dataset.py --out /work/data/eval --seed 5000000 --count 40
    evaluate.py --photos /work/data/eval --backend engine --lib ../../build/lib/libtessaline.so
    evaluate.py --photos /work/data/eval --backend torch \
        --clean /work/runs/clean/weights.pt --mask /work/runs/mask/weights.pt

Backends: "engine" runs the built module through its C interface (processImageFromMemory
with the settings JSON), so the figures are those of the product; "torch" runs the same
tile path and blends in Python with PyTorch weights, for use before an export.

Per strength it prints: dirt removed, damage to clean backdrop (1/255), change on the
subject with Automask on (1/255), and the same for the baseline: a pixel is replaced by
its neighbourhood median when it differs from it by more than a threshold, computed on the
picture shrunk like the network's input, radius and threshold tuned per strength on these
photographs, the subject protected by the true mask. "ideal" is what a perfect network
reaches through the engine's shrink-and-restore path, an upper bound at Coarse and Medium.
Subject-mask IoU (threshold 0.5 on the full-size mask) comes from the engine through nnrun,
or from the torch mask network when its weights are given.
"""
import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import torch
from scipy import ndimage

import metrics
from nets import clean_net, mask_net
from pipeline import enlarge_mask, predict_by_tiles, reduce256, torch_runner, upscale_matrices
from synth.dataset import SCALE16, PhotoCache

STRENGTHS = (("Coarse", 1, 3), ("Medium", 2, 2), ("Fine", 3, 1))  # name, Scale, shrink K
BASELINE_RADII = (1, 2, 3, 5, 8)
BASELINE_THRESHOLDS = tuple(t / 255 for t in (3, 6, 10, 16, 25, 40))
DAMAGE_LIMIT = 0.5  # 1/255 units


class TorchBackend:
    def __init__(self, clean_weights, mask_weights):
        self.clean = clean_net().eval()
        self.clean.load_state_dict(torch.load(clean_weights, map_location="cpu"))
        self.mask = None
        if mask_weights:
            self.mask = mask_net().eval()
            self.mask.load_state_dict(torch.load(mask_weights, map_location="cpu"))

    def subject_bytes(self, image):
        if self.mask is None:
            return None
        with torch.no_grad():
            x = torch.from_numpy(reduce256(image)).permute(2, 0, 1)[None]
            pred = self.mask(x)[0, 0].numpy()
        return enlarge_mask(pred, *image.shape[:2])

    def process(self, image, scale, k):
        """(result with Automask off, result with Automask on or None)."""
        net = np.clip(predict_by_tiles(torch_runner(self.clean), image, k=k), 0, 1)
        auto = self.subject_bytes(image)
        if auto is None:
            return net, None
        s = auto.astype(np.float32)[..., None] / 255
        return net, np.clip(net * (1 - s) + image * s, 0, 1)


class EngineBackend:
    """The product module through its exported C functions."""

    def __init__(self, lib_path):
        lib = ctypes.CDLL(lib_path)
        lib.createInstance.restype = ctypes.c_void_p
        lib.clearInstance.argtypes = [ctypes.c_void_p]
        lib.setSettingsFromJson.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        lib.processImageFromMemory.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_float),
                                               ctypes.c_uint, ctypes.c_uint, ctypes.c_void_p]
        self.lib = lib
        self.handle = lib.createInstance()
        if not self.handle:
            raise RuntimeError("createInstance failed: are the models beside the module?")

    def _run(self, image, scale, automask):
        h, w = image.shape[:2]
        settings = json.dumps({"Alpha1": 1.0, "Automask": automask, "Layer": 0, "Scale": scale})
        if self.lib.setSettingsFromJson(self.handle, settings.encode()) != 0:
            raise RuntimeError("settings refused")
        rgba = np.ones((h, w, 4), np.float32)
        rgba[..., :3] = image
        ptr = rgba.ctypes.data_as(ctypes.POINTER(ctypes.c_float))
        code = self.lib.processImageFromMemory(self.handle, ptr, w, h, None)
        if code != 0:
            raise RuntimeError(f"processImageFromMemory returned {code}")
        return np.clip(rgba[..., :3], 0, 1)

    def process(self, image, scale, k):
        return self._run(image, scale, False), self._run(image, scale, True)

    def close(self):
        self.lib.clearInstance(self.handle)


class EngineMask:
    """The shipped subject network run by the engine (nnrun), enlarged like the product does."""

    def __init__(self, nnrun, model):
        self.nnrun, self.model = nnrun, model

    def subject_bytes(self, image):
        with tempfile.TemporaryDirectory() as work:
            src, dst = os.path.join(work, "in.f32"), os.path.join(work, "out.f32")
            reduce256(image).astype("<f4").tofile(src)
            subprocess.run([self.nnrun, "--model", self.model, "--input", src, "--width", "256",
                            "--height", "256", "--channels", "3", "--output", dst],
                           check=True, stdout=subprocess.DEVNULL)
            pred = np.fromfile(dst, "<f4").reshape(256, 256)
        return enlarge_mask(pred, *image.shape[:2])


def shrink(image, k):
    """k-fold box reduction; the last rows and columns repeat to fill the last boxes."""
    h, w = image.shape[:2]
    hp, wp = -(-h // k) * k, -(-w // k) * k
    padded = np.pad(image, ((0, hp - h), (0, wp - w), (0, 0)), mode="edge")
    return padded.reshape(hp // k, k, wp // k, k, 3).mean((1, 3))


def median(small, radius):
    return ndimage.median_filter(small, size=(2 * radius + 1,) * 2 + (1,))


def restore(image, small_change, k):
    """Adds a change made on the k-fold shrunk picture back at full size, enlarged with the
    engine's bilinear weights, as the engine does with the network's change."""
    h, w = image.shape[:2]
    if k > 1:
        hp, wp = small_change.shape[0] * k, small_change.shape[1] * k
        rows, cols = upscale_matrices(hp // k, wp // k, hp, wp)
        small_change = np.einsum("ih,hwc,jw->ijc", rows.numpy(), small_change, cols.numpy(), optimize=True)
    return np.clip(image + small_change[:h, :w], 0, 1)


def median_baseline(image, k, radius, threshold, medians=None):
    """Median-with-threshold on the k-fold shrunk picture, change restored at full size."""
    small = shrink(image, k)
    med = medians if medians is not None else median(small, radius)
    return restore(image, np.where(np.abs(small - med).max(-1, keepdims=True) > threshold, med - small, 0), k)


def ideal(dirty, clean, k):
    """What a perfect network reaches through the shrink-and-restore path: its output is the
    shrunk clean picture, and only the enlarged change reaches full size. Small specks
    spread by the shrink cannot be restored exactly at K > 1, so this bounds every method."""
    return clean if k == 1 else restore(dirty, shrink(clean, k) - shrink(dirty, k), k)


def load(photo):
    return [photo[key].astype(np.float32) / SCALE16 for key in ("dirty", "clean", "subject")]


def tune_baseline(photos, k):
    """Radius and threshold that remove most dirt within the damage limit."""
    scores = {}
    for radius in BASELINE_RADII:
        rows = {t: [] for t in BASELINE_THRESHOLDS}
        for p in photos:
            dirty, clean, subject = load(p)
            med = median(shrink(dirty, k), radius)
            for t in BASELINE_THRESHOLDS:
                out = median_baseline(dirty, k, radius, t, med)
                out = out * (1 - subject[..., None]) + dirty * subject[..., None]
                rows[t].append(metrics.figures(out, dirty, clean, subject))
        for t in BASELINE_THRESHOLDS:
            scores[(radius, t)] = metrics.summarise(rows[t])
    within = {key: s for key, s in scores.items() if s["backdrop_damage"] <= DAMAGE_LIMIT}
    pool = within or scores
    key = max(pool, key=lambda key: pool[key]["dirt_removed"] - (0 if within else pool[key]["backdrop_damage"]))
    return key, scores[key]


def evaluate(backend, cache, tune_count):
    table = []
    for name, scale, k in STRENGTHS:
        off_rows, on_rows, ideal_rows = [], [], []
        for p in cache.photos:
            dirty, clean, subject = load(p)
            off, on = backend.process(dirty, scale, k)
            off_rows.append(metrics.figures(off, dirty, clean, subject))
            ideal_rows.append(metrics.figures(ideal(dirty, clean, k), dirty, clean, subject))
            if on is not None:
                on_rows.append(metrics.figures(on, dirty, clean, subject))
        (radius, threshold), base = tune_baseline(cache.photos[:tune_count], k)
        off_fig = metrics.summarise(off_rows)
        on_fig = metrics.summarise(on_rows) if on_rows else {}
        ceiling = metrics.summarise(ideal_rows)["dirt_removed"]
        table.append((name, off_fig, on_fig, base, radius, threshold, ceiling))
    return table


def mask_figures(masker, cache):
    """Mean IoU of the full-size subject mask (threshold 0.5) over the portraits, and the share
    of the frame wrongly taken for a person in photographs without people (where IoU would
    only say 0 or 1)."""
    ious, false_area = [], []
    for p in cache.photos:
        image, _, truth = load(p)
        pred = masker.subject_bytes(image) / 255.0
        if (truth > 0.5).any():
            ious.append(metrics.iou(pred, truth))
        else:
            false_area.append(float((pred > 0.5).mean()))
    return ious, false_area


def print_mask_figures(label, figures):
    ious, false_area = figures
    print(f"subject-mask IoU ({label}): {np.mean(ious):.4f} over {len(ious)} portraits, lowest {np.min(ious):.4f}")
    if false_area:
        print(f"frame taken for a person in {len(false_area)} photographs without people: "
              f"{100 * np.mean(false_area):.2f} % (largest {100 * np.max(false_area):.2f} %)")


def print_table(table):
    print(f"{'strength':8} | {'removed':>7} {'damage':>7} {'subject':>8} {'removed':>8} | "
          f"{'base removed':>12} {'damage':>7} {'r':>2} {'thr':>4} | {'ideal':>6}")
    print(f"{'':8} | {'off':>7} {'off':>7} {'on':>8} {'on':>8} | {'':>12} {'':>7} {'':>2} {'':>4} | "
          f"{'removed':>6}")
    for name, off, on, base, radius, threshold, ceiling in table:
        print(f"{name:8} | {off['dirt_removed']:7.3f} {off['backdrop_damage']:7.3f} "
              f"{on.get('subject_change', float('nan')):8.3f} {on.get('dirt_removed', float('nan')):8.3f} | "
              f"{base['dirt_removed']:12.3f} {base['backdrop_damage']:7.3f} {radius:2d} {threshold * 255:4.0f} | "
              f"{ceiling:6.3f}")
    for label, column in (("network", 1), ("baseline", 3)):
        print(f"mean dirt removed, {label}: {np.mean([row[column]['dirt_removed'] for row in table]):.3f}")
    print(f"mean dirt removed, ideal network: {np.mean([row[6] for row in table]):.3f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--photos", default="/work/data/eval")
    ap.add_argument("--limit", type=int, help="use only the first N photographs")
    ap.add_argument("--backend", choices=("engine", "torch"), default="engine")
    ap.add_argument("--lib", default="../../build/lib/libtessaline.so")
    ap.add_argument("--nnrun", default="../../build/bin/nnrun", help="engine runner for the subject-mask IoU")
    ap.add_argument("--mask-model", default="../../resources/subjectmasking.cnn")
    ap.add_argument("--clean", help="cleaning weights (torch backend)")
    ap.add_argument("--mask", help="subject-mask weights (IoU, and Automask in the torch backend)")
    ap.add_argument("--tune-count", type=int, default=12, help="photographs used to tune the baseline")
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    cache = PhotoCache(args.photos, args.limit)
    if args.backend == "torch":
        if not args.clean:
            ap.error("--clean is needed with the torch backend")
        backend = TorchBackend(args.clean, args.mask)
    else:
        backend = EngineBackend(args.lib)
    print(f"{len(cache)} photographs from {args.photos}, backend {args.backend}")
    print_table(evaluate(backend, cache, args.tune_count))
    if args.backend == "engine":
        print_mask_figures("engine", mask_figures(EngineMask(args.nnrun, args.mask_model), cache))
    elif backend.mask is not None:
        print_mask_figures("PyTorch", mask_figures(backend, cache))
    return 0


if __name__ == "__main__":
    sys.exit(main())
