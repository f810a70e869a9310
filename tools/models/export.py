#!/usr/bin/python3
"""Write a trained network as a model stream (version 5) and check it.

    export.py clean /work/runs/clean/weights.pt ../../resources/TessalineId.cnn
    export.py mask  /work/runs/mask/weights.pt  ../../resources/subjectmasking.cnn

After writing, the stream is read back and evaluated by the independent float64 reference
of the engine's arithmetic on a seeded random input; the export fails when that differs
from PyTorch by more than --tolerance. With --fixture, the input and PyTorch's output are
also written (raw little-endian float32, interleaved H x W x C) for the engine parity test.
"""
import argparse
import sys

import numpy as np
import torch

import reference
from nets import clean_net, mask_net
from nnstream import ModelStream

BUILDERS = {"clean": clean_net, "mask": mask_net}


def to_stream(graph):
    """The graph's nodes, in order, as stream layers; node i becomes layer i."""
    m = ModelStream(version=5)
    for i, node in enumerate(graph.nodes):
        a = node.inputs
        if node.kind == "inpu":
            index = m.input(node.channels)
        elif node.kind == "co2d":
            index = m.conv2d_from_torch(a[0], node.conv, activation=node.activation)
        elif node.kind == "maxp":
            index = m.max_pool(a[0])
        elif node.kind == "upsb":
            index = m.upsample_bilinear(a[0])
        elif node.kind == "conc":
            index = m.concat(*a)
        elif node.kind == "mult":
            index = m.multiply(a[0], a[1])
        elif node.kind == "add ":
            index = m.add(a[0], a[1])
        elif node.kind == "subt":
            index = m.subtract(a[0], a[1])
        else:
            raise ValueError(f"no stream layer for {node.kind!r}")
        assert index == i, "stream and graph must number layers alike"
    m.mark_output(len(graph.nodes) - 1)
    return m


def torch_output(graph, image_hwc):
    with torch.no_grad():
        x = torch.from_numpy(image_hwc).permute(2, 0, 1)[None].float()
        return graph(x)[0].permute(1, 2, 0).numpy()


def reference_output(stream_bytes, image_hwc):
    model = reference.read_stream(stream_bytes)
    return reference.run_model(model, [image_hwc.astype(np.float64)])[-1]


def check(graph, stream_bytes, size, seed, tolerance):
    rng = np.random.default_rng(seed)
    image = rng.random((size, size, 3), dtype=np.float32)
    ours = torch_output(graph, image)
    ref = reference_output(stream_bytes, image)
    worst = float(np.abs(ours - ref).max())
    return image, ours, worst, worst <= tolerance


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("network", choices=sorted(BUILDERS))
    ap.add_argument("weights", help="state dict written by the training script")
    ap.add_argument("out", help="the .cnn file to write")
    ap.add_argument("--check-size", type=int, default=64, help="edge of the checked input (multiple of 32)")
    ap.add_argument("--tolerance", type=float, default=1e-4)
    ap.add_argument("--fixture", help="prefix for <prefix>.input.f32 and <prefix>.expected.f32")
    ap.add_argument("--fixture-size", type=int, default=128)
    args = ap.parse_args()

    graph = BUILDERS[args.network]()
    graph.load_state_dict(torch.load(args.weights, map_location="cpu"))
    graph.eval()
    stream = to_stream(graph).to_bytes()
    _, _, worst, ok = check(graph, stream, args.check_size, 12345, args.tolerance)
    print(f"{args.network}: {len(stream)} bytes, {len(graph.nodes)} layers, "
          f"largest difference to the reference {worst:.2e}")
    if not ok:
        print("export does not compute what PyTorch computes; nothing written", file=sys.stderr)
        return 1
    with open(args.out, "wb") as f:
        f.write(stream)
    if args.fixture:
        image, ours, _, _ = check(graph, stream, args.fixture_size, 2024, args.tolerance)
        image.astype("<f4").tofile(args.fixture + ".input.f32")
        ours.astype("<f4").tofile(args.fixture + ".expected.f32")
    return 0


if __name__ == "__main__":
    sys.exit(main())
