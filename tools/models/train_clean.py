#!/usr/bin/python3
"""Train the backdrop-cleaning network through the engine's shrink-and-restore tile path.

Each step takes full-resolution crops, picks a shrink factor K of 1, 2 or 3 per batch (the
three dirt strengths), runs the network on the K-fold reduced crop and judges the restored
full-size picture against the clean ground truth. Changes outside the dirt cost as much per
pixel as dirt left behind, and dirt pixels are weighted up because they are rare. The gate
and the background estimate also get direct targets (dirt mask, shrunk clean picture).

Runs last --minutes of wall-clock time (see training.py); checkpoints and logs go to --run,
outside the repository.
"""
import argparse
import os

import numpy as np
import torch
import torch.nn.functional as F

import metrics
import training
from nets import background_node, clean_net, gate_node
from pipeline import box_down, run_tile
from synth.dataset import PhotoCache

FACTORS = (1, 2, 3)


def to_tensor(arrays):
    """List of H x W (x C) arrays -> N x C x H x W tensor."""
    t = torch.from_numpy(np.stack(arrays))
    return t.permute(0, 3, 1, 2).contiguous() if t.dim() == 4 else t[:, None]


def batch(cache, rng, net_size, k, n, focus=0.0):
    crops = [cache.crop(rng, net_size * k, focus) for _ in range(n)]
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
    # the background estimate is taught directly, so that it is right before the gate opens,
    # and everywhere, because a gate never closes completely: off the dirt it must copy the input
    background = values[background_node(net)]
    bg_loss = (torch.abs(background - box_down(clean, k)) * (1 + 3 * near_dirt)).mean()
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


def report(table, prefix):
    for k, fig in table.items():
        print(f"{prefix} K={k}: removed {fig['dirt_removed']:.3f} damage {fig['backdrop_damage']:.3f}/255 "
              f"subject {fig['subject_change']:.3f}/255", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    training.add_common_arguments(ap, "/work/runs/clean")
    ap.add_argument("--size", type=int, default=96, help="crop edge in network pixels")
    ap.add_argument("--focus", type=float, default=0.5, help="share of crops placed around dirt")
    ap.add_argument("--dirt-weight", type=float, default=6.0, help="extra weight of dirt pixels")
    ap.add_argument("--gate-weight", type=float, default=0.4, help="weight of the gate's cross-entropy")
    ap.add_argument("--background-weight", type=float, default=1.0, help="weight of the background term")
    ap.add_argument("--val-every", type=int, default=500)
    ap.add_argument("--val-count", type=int, default=24)
    args = ap.parse_args()

    weights = argparse.Namespace(dirt=args.dirt_weight, gate=args.gate_weight, background=args.background_weight)
    cache = PhotoCache(args.data)
    val = PhotoCache(args.val) if os.path.isdir(args.val) else None
    net = clean_net()
    run = training.TimedRun(args, net)
    running = []
    print(f"{len(cache)} photographs, {net.parameter_count()} parameters", flush=True)
    while run.running():
        k = FACTORS[run.step % len(FACTORS)]
        dirty, clean, _, _ = batch(cache, run.rng, args.size, k, args.batch, args.focus)
        loss, err, gate_loss, bg_loss, _ = loss_terms(net, dirty, clean, k, 4, weights)
        lr = run.update(loss)
        running.append((loss.item(), err.item(), gate_loss.item(), bg_loss.item()))
        if run.step % 50 == 0:
            l, e, g, b = np.mean(running, 0)
            running = []
            print(f"step {run.step} loss {l:.5f} picture {e:.5f} gate {g:.4f} background {b:.5f} "
                  f"lr {lr:.2e} {run.elapsed():.0f} s", flush=True)
            run.record(l, e, g, b)
        if val is not None and run.step % args.val_every == 0:
            report(validate(run.average, val, 99, args.size, args.val_count), "  val")
        if run.step % 250 == 0:
            run.save()
    run.save(final=True)
    if val is not None:
        report(validate(run.average, val, 99, args.size, args.val_count), "final val")


if __name__ == "__main__":
    main()
