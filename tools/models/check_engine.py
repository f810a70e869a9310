#!/usr/bin/python3
"""Run a network through the real engine (nnrun) and compare with PyTorch.

    check_engine.py clean --weights /work/runs/clean/weights.pt --nnrun ../../build/bin/nnrun
    check_engine.py mask --random   # seeded random weights: checks the architecture alone

Exports the network, runs nnrun on a seeded random input and prints the largest absolute
difference; exits 1 when it exceeds --tolerance.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
import torch

from export import BUILDERS, to_stream, torch_output


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("network", choices=sorted(BUILDERS))
    source = ap.add_mutually_exclusive_group(required=True)
    source.add_argument("--weights")
    source.add_argument("--random", action="store_true", help="perturbed initial weights, seed 0")
    ap.add_argument("--nnrun", default="../../build/bin/nnrun")
    ap.add_argument("--size", type=int, default=128, help="input edge, a multiple of 32")
    ap.add_argument("--tolerance", type=float, default=1e-3)
    args = ap.parse_args()

    torch.manual_seed(0)
    graph = BUILDERS[args.network]().eval()
    if args.weights:
        graph.load_state_dict(torch.load(args.weights, map_location="cpu"))
    else:
        with torch.no_grad():
            for p in graph.parameters():
                p.add_(0.05 * torch.randn_like(p))
    image = np.random.default_rng(5).random((args.size, args.size, 3), dtype=np.float32)
    expected = torch_output(graph, image)
    with tempfile.TemporaryDirectory() as tmp:
        model, inp, out = (os.path.join(tmp, n) for n in ("m.cnn", "in.f32", "out.f32"))
        with open(model, "wb") as f:
            f.write(to_stream(graph).to_bytes())
        image.astype("<f4").tofile(inp)
        run = subprocess.run([args.nnrun, "--model", model, "--input", inp, "--width", str(args.size),
                              "--height", str(args.size), "--channels", "3", "--output", out],
                             capture_output=True, text=True)
        if run.returncode != 0:
            print(f"nnrun failed ({run.returncode}): {run.stdout}{run.stderr}", file=sys.stderr)
            return 1
        got = np.fromfile(out, "<f4")
    if got.size != expected.size:
        print(f"engine returned {got.size} values, PyTorch {expected.size}", file=sys.stderr)
        return 1
    worst = float(np.abs(got - expected.ravel()).max())
    print(f"{args.network}: largest difference engine vs PyTorch {worst:.2e} at {args.size} x {args.size}")
    return 0 if worst <= args.tolerance else 1


if __name__ == "__main__":
    sys.exit(main())
