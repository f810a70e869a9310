#!/usr/bin/python3
"""Train the backdrop-cleaning network through the engine's shrink-and-restore tile path.

Each step takes full-resolution crops, picks a shrink factor K of 1, 2 or 3 per batch (the
three dirt strengths), runs the network on the K-fold reduced crop and judges the restored
full-size picture against the clean ground truth. Changes outside the dirt cost as much per
pixel as dirt left behind, and dirt pixels are weighted up because they are rare. The gate
and the background estimate also get direct targets (dirt mask, shrunk clean picture).

Checkpoints and logs go to --run (outside the repository).
"""
import argparse
import csv
import os
import time

import numpy as np
import torch
import torch.nn.functional as F

import metrics
from nets import background_node, clean_net, gate_node
from pipeline import box_down, run_tile
from synth.dataset import PhotoCache

FACTORS = (1, 2, 3)


def to_tensor(arrays):
    """List of H x W (x C) arrays -> N x C x H x W tensor."""
    t = torch.from_numpy(np.stack(arrays))
    return t.permute(0, 3, 1, 2).contiguous() if t.dim() == 4 else t[:, None]


def batch(cache, rng, net_size, k, n):
    crops = [cache.crop(rng, net_size * k) for _ in range(n)]
    return [to_tensor([c[i] for c in crops]) for i in range(4)]


def loss_terms(net, dirty, clean, k, margin, weights):
    """Total loss and its parts (picture, gate, background) for one batch at factor k."""
    result, values = run_tile(net, dirty, k)
    visible = (torch.abs(dirty - clean).amax(1, keepdim=True) > metrics.DIRT_VISIBLE).float()
    m = margin * k
    picture = (torch.abs(result - clean) * (1 + weights.dirt * visible))[..., m:-m, m:-m].mean()
    # the gate should open wherever any pixel of its K x K block holds dirt
    near_dirt = F.max_pool2d(visible, k) if k > 1 else visible
    near_dirt = F.max_pool2d(near_dirt, 3, 1, 1)
    gate = values[gate_node(net)].clamp(1e-6, 1 - 1e-6)
    gate_loss = F.binary_cross_entropy(gate, near_dirt)
    # the background estimate is taught directly, so that it is right before the gate opens
    background = values[background_node(net)]
    bg_loss = (torch.abs(background - box_down(clean, k)) * (0.1 + near_dirt)).mean()
    total = picture + weights.gate * gate_loss + weights.background * bg_loss
    return total, picture, gate_loss, bg_loss, result


@torch.no_grad()
def validate(net, cache, seed, net_size, count):
    net.eval()
    table = {}
    for k in FACTORS:
        rng = np.random.default_rng(seed + k)
        rows = []
        for _ in range(count):
            dirty, clean, dirt, subject = batch(cache, rng, net_size, k, 1)
            result, _ = run_tile(net, dirty, k)
            arr = lambda t: t[0].permute(1, 2, 0).numpy()
            rows.append(metrics.figures(arr(result.clamp(0, 1)), arr(dirty), arr(clean), subject[0, 0].numpy()))
        table[k] = metrics.summarise(rows)
    net.train()
    return table


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--data", default="/work/data/train")
    ap.add_argument("--val", default="/work/data/val", help="validation photographs (other seeds)")
    ap.add_argument("--run", default="/work/runs/clean")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--minutes", type=float, default=60)
    ap.add_argument("--steps", type=int, default=20000, help="length of the learning-rate schedule")
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--size", type=int, default=96, help="crop edge in network pixels")
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--dirt-weight", type=float, default=10.0, help="extra weight of dirt pixels")
    ap.add_argument("--gate-weight", type=float, default=0.2, help="weight of the gate's cross-entropy")
    ap.add_argument("--background-weight", type=float, default=1.0, help="weight of the background term")
    ap.add_argument("--val-every", type=int, default=500)
    ap.add_argument("--val-count", type=int, default=24)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--resume", action="store_true")
    args = ap.parse_args()

    torch.manual_seed(args.seed)
    torch.set_num_threads(args.threads)
    rng = np.random.default_rng(args.seed)
    weights = argparse.Namespace(dirt=args.dirt_weight, gate=args.gate_weight, background=args.background_weight)
    os.makedirs(args.run, exist_ok=True)
    cache = PhotoCache(args.data)
    val = PhotoCache(args.val) if os.path.isdir(args.val) else None
    net = clean_net()
    opt = torch.optim.Adam(net.parameters(), lr=args.lr)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, args.lr, total_steps=args.steps, pct_start=0.05)
    step = 0
    ckpt = os.path.join(args.run, "checkpoint.pt")
    if args.resume and os.path.exists(ckpt):
        state = torch.load(ckpt)
        net.load_state_dict(state["net"]), opt.load_state_dict(state["opt"]), sched.load_state_dict(state["sched"])
        step, rng = state["step"], state["rng"]
    log = open(os.path.join(args.run, "log.csv"), "a", newline="")
    writer = csv.writer(log)
    start, running = time.time(), []
    print(f"{len(cache)} photographs, {net.parameter_count()} parameters", flush=True)
    while step < args.steps and time.time() - start < args.minutes * 60:
        k = FACTORS[step % len(FACTORS)]
        dirty, clean, _, _ = batch(cache, rng, args.size, k, args.batch)
        loss, err, gate_loss, bg_loss, _ = loss_terms(net, dirty, clean, k, 4, weights)
        opt.zero_grad()
        loss.backward()
        opt.step()
        sched.step()
        step += 1
        running.append((loss.item(), err.item(), gate_loss.item(), bg_loss.item()))
        if step % 50 == 0:
            l, e, g, b = np.mean(running, 0)
            running = []
            print(f"step {step} loss {l:.5f} picture {e:.5f} gate {g:.4f} background {b:.5f} "
                  f"lr {sched.get_last_lr()[0]:.2e} {time.time() - start:.0f} s", flush=True)
            writer.writerow([step, l, e, g, b, time.time() - start])
            log.flush()
        if val is not None and (step % args.val_every == 0):
            for k, fig in validate(net, val, 99, args.size, args.val_count).items():
                print(f"  val K={k}: removed {fig['dirt_removed']:.3f} damage {fig['backdrop_damage']:.3f}/255 "
                      f"subject {fig['subject_change']:.3f}/255", flush=True)
        if step % 500 == 0:
            torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "sched": sched.state_dict(),
                        "step": step, "rng": rng}, ckpt)
    torch.save({"net": net.state_dict(), "opt": opt.state_dict(), "sched": sched.state_dict(),
                "step": step, "rng": rng}, ckpt)
    torch.save(net.state_dict(), os.path.join(args.run, "weights.pt"))
    if val is not None:
        for k, fig in validate(net, val, 99, args.size, args.val_count).items():
            print(f"final val K={k}: removed {fig['dirt_removed']:.3f} damage {fig['backdrop_damage']:.3f}/255 "
                  f"subject {fig['subject_change']:.3f}/255", flush=True)


if __name__ == "__main__":
    main()
