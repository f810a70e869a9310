#!/usr/bin/python3
"""Train the subject-mask network on whole photographs reduced to 256 x 256.

The engine reduces the whole picture, whatever its aspect, to 256 x 256 by averaging
boxes, so training does the same: random re-framings of each cached photograph (zoomed
crops, flips, colour changes) are squeezed to 256 x 256 with the engine's box rule, and the
target is the subject coverage reduced the same way. Loss: binary cross-entropy plus a soft
IoU term. Checkpoints and logs go to --run.
"""
import argparse
import csv
import os
import time

import numpy as np
import torch
import torch.nn.functional as F

import metrics
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
    """Mean IoU over whole validation photographs, on the 256 x 256 grid."""
    net.eval()
    scores = []
    for i in range(min(count, len(cache))):
        photo = cache.photos[i]
        img = reduce256(photo["dirty"].astype(np.float32) / SCALE16)
        truth = reduce256(photo["subject"].astype(np.float32) / SCALE16)
        pred = net(torch.from_numpy(img).permute(2, 0, 1)[None])[0, 0].numpy()
        scores.append(metrics.iou(pred, truth))
    net.train()
    return float(np.mean(scores))


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--data", default="/work/data/train")
    ap.add_argument("--val", default="/work/data/val")
    ap.add_argument("--run", default="/work/runs/mask")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--minutes", type=float, default=60)
    ap.add_argument("--steps", type=int, default=8000)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--val-every", type=int, default=500)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--resume", action="store_true")
    args = ap.parse_args()

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    rng = np.random.default_rng(args.seed)
    os.makedirs(args.run, exist_ok=True)
    cache = PhotoCache(args.data)
    val = PhotoCache(args.val) if os.path.isdir(args.val) else None
    net = mask_net()
    opt = torch.optim.Adam(net.parameters(), lr=args.lr)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, args.lr, total_steps=args.steps, pct_start=0.05)
    step = 0
    ckpt = os.path.join(args.run, "checkpoint.pt")
    if args.resume and os.path.exists(ckpt):
        state = torch.load(ckpt)
        net.load_state_dict(state["net"]), opt.load_state_dict(state["opt"]), sched.load_state_dict(state["sched"])
        step, rng = state["step"], state["rng"]
    writer = csv.writer(open(os.path.join(args.run, "log.csv"), "a", newline=""))
    start, running = time.time(), []
    print(f"{len(cache)} photographs, {net.parameter_count()} parameters", flush=True)
    while step < args.steps and time.time() - start < args.minutes * 60:
        x, y = batch(cache, rng, args.batch)
        loss = loss_fn(net(x), y)
        opt.zero_grad()
        loss.backward()
        opt.step()
        sched.step()
        step += 1
        running.append(loss.item())
        if step % 25 == 0:
            print(f"step {step} loss {np.mean(running):.4f} lr {sched.get_last_lr()[0]:.2e} "
                  f"{time.time() - start:.0f} s", flush=True)
            writer.writerow([step, np.mean(running), time.time() - start])
            running = []
        if val is not None and step % args.val_every == 0:
            print(f"  val IoU {validate(net, val, 40):.4f}", flush=True)
        if step % 250 == 0:
            torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "sched": sched.state_dict(),
                        "step": step, "rng": rng}, ckpt)
    torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "sched": sched.state_dict(),
                "step": step, "rng": rng}, ckpt)
    torch.save(net.state_dict(), os.path.join(args.run, "weights.pt"))
    if val is not None:
        print(f"final val IoU {validate(net, val, 40):.4f}", flush=True)


if __name__ == "__main__":
    main()
