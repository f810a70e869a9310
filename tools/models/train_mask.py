#!/usr/bin/python3
"""Train the subject-mask network on whole photographs reduced to 256 x 256.

The engine reduces the whole picture, whatever its aspect, to 256 x 256 by averaging
boxes, so training does the same: random re-framings of each cached photograph (zoomed
crops, flips, colour changes) are squeezed to 256 x 256 with the engine's box rule, and the
target is the subject coverage reduced the same way. Loss: binary cross-entropy plus a soft
IoU term. Runs last --minutes of wall-clock time; checkpoints and logs go to --run.
"""
import argparse
import os

import numpy as np
import torch
import torch.nn.functional as F

import metrics
import training
from nets import mask_net
from pipeline import reduce256
from synth.dataset import SCALE16, PhotoCache


def reframe(rng, photo):
    """A random framing of the photograph: zoomed crop, flip and colour change."""
    h, w = photo["dirty"].shape[:2]
    zoom = 1.0 if rng.random() < 0.4 else rng.uniform(0.55, 1.0)
    ch, cw = int(h * (zoom if rng.random() < 0.7 else rng.uniform(zoom, 1.0))), int(w * zoom)
    y, x = rng.integers(0, h - ch + 1), rng.integers(0, w - cw + 1)
    img = photo["dirty"][y:y + ch, x:x + cw].astype(np.float32) / SCALE16
    sub = photo["subject"][y:y + ch, x:x + cw].astype(np.float32) / SCALE16
    if rng.random() < 0.5:
        img, sub = img[:, ::-1], sub[:, ::-1]
    gain = rng.uniform(0.75, 1.25) * rng.uniform(0.9, 1.1, 3)
    img = np.clip(img * gain + rng.uniform(-0.05, 0.05), 0, 1)
    return reduce256(np.ascontiguousarray(img)), reduce256(np.ascontiguousarray(sub))


def batch(cache, rng, n):
    pairs = [reframe(rng, cache.photos[rng.integers(len(cache))]) for _ in range(n)]
    x = torch.from_numpy(np.stack([p[0] for p in pairs])).permute(0, 3, 1, 2).contiguous()
    y = torch.from_numpy(np.stack([p[1] for p in pairs]))[:, None]
    return x, y


def loss_fn(pred, target):
    p = pred.clamp(1e-6, 1 - 1e-6)
    bce = F.binary_cross_entropy(p, target)
    inter = (p * target).sum((1, 2, 3))
    union = (p + target - p * target).sum((1, 2, 3))
    soft_iou = 1 - ((inter + 1) / (union + 1)).mean()
    return bce + 0.5 * soft_iou


@torch.no_grad()
def validate(net, cache, count):
    """Mean IoU over the validation portraits on the 256 x 256 grid, and the share of the
    frame taken for a person in photographs without people."""
    net.eval()
    scores, false_area = [], []
    for i in range(min(count, len(cache))):
        photo = cache.photos[i]
        img = reduce256(photo["dirty"].astype(np.float32) / SCALE16)
        truth = reduce256(photo["subject"].astype(np.float32) / SCALE16)
        pred = net(torch.from_numpy(img).permute(2, 0, 1)[None])[0, 0].numpy()
        if (truth > 0.5).any():
            scores.append(metrics.iou(pred, truth))
        else:
            false_area.append(float((pred > 0.5).mean()))
    net.train()
    return float(np.mean(scores)), float(np.mean(false_area)) if false_area else 0.0


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    training.add_common_arguments(ap, "/work/runs/mask")
    ap.add_argument("--val-every", type=int, default=250)
    args = ap.parse_args()

    cache = PhotoCache(args.data)
    val = PhotoCache(args.val) if os.path.isdir(args.val) else None
    net = mask_net()
    run = training.TimedRun(args, net)
    running = []
    print(f"{len(cache)} photographs, {net.parameter_count()} parameters", flush=True)
    while run.running():
        x, y = batch(cache, run.rng, args.batch)
        loss = loss_fn(net(x), y)
        lr = run.update(loss)
        running.append(loss.item())
        if run.step % 25 == 0:
            print(f"step {run.step} loss {np.mean(running):.4f} lr {lr:.2e} {run.elapsed():.0f} s", flush=True)
            run.record(np.mean(running))
            running = []
        if val is not None and run.step % args.val_every == 0:
            print("  val IoU %.4f, false area %.4f" % validate(run.average, val, 40), flush=True)
            run.save()
    run.save(final=True)
    if val is not None:
        print("final val IoU %.4f, false area %.4f" % validate(run.average, val, 40), flush=True)


if __name__ == "__main__":
    main()
