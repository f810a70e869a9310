"""The two networks, written as graphs of the inference engine's layer kinds.

Each node is one engine layer ("inpu", "co2d", "maxp", "upsb", "conc", "mult", "add ",
"subt"), so the PyTorch forward pass, the FLOP count and the export to the model stream all
walk the same list. Only operations whose engine arithmetic PyTorch reproduces exactly are used:
  - "co2d" 3x3 stride 1: zero padding of one pixel, like Conv2d(padding=1);
  - "maxp": 2x2 max pooling with stride 2 (inputs must have even sizes);
  - "upsb": 2x bilinear, weights 9/16, 3/16, 3/16, 1/16 with edge clamping, which is
    interpolate(scale_factor=2, mode="bilinear", align_corners=False);
  - "conc" channel concatenation, "mult" product with a one-channel gate, "add " sum,
    "subt" difference.
Activations fused into a convolution: "relu", "lre1" (leaky 0.1), "sigm", "line".
"""
from dataclasses import dataclass, field

import torch
import torch.nn.functional as F
from torch import nn

ACTIVATIONS = {
    "line": lambda t: t,
    "relu": F.relu,
    "lre1": lambda t: F.leaky_relu(t, 0.1),
    "sigm": torch.sigmoid,
}


@dataclass
class Node:
    kind: str                 # engine four-character code
    inputs: list              # indices of earlier nodes
    channels: int             # output channels
    activation: str = "line"  # for "co2d"
    conv: nn.Conv2d = field(default=None, repr=False)


class Graph(nn.Module):
    """A feed-forward network made of engine layers; node 0 is the input."""

    def __init__(self, in_channels):
        super().__init__()
        self.nodes = [Node("inpu", [], in_channels)]
        self.convs = nn.ModuleList()
        self.outputs = []

    # -- building -----------------------------------------------------------------------
    def _add(self, node):
        self.nodes.append(node)
        return len(self.nodes) - 1

    def conv(self, src, out_ch, k=3, act="relu"):
        conv = nn.Conv2d(self.nodes[src].channels, out_ch, k, padding=k // 2)
        # He initialisation keeps the signal alive through twenty ReLU layers; PyTorch's
        # default shrinks it about sixfold per layer
        if act in ("relu", "lre1"):
            nn.init.kaiming_normal_(conv.weight, nonlinearity="relu")
        else:
            nn.init.xavier_normal_(conv.weight)
        nn.init.zeros_(conv.bias)
        self.convs.append(conv)
        return self._add(Node("co2d", [src], out_ch, act, conv))

    def maxpool(self, src):
        return self._add(Node("maxp", [src], self.nodes[src].channels))

    def upsample(self, src):
        return self._add(Node("upsb", [src], self.nodes[src].channels))

    def concat(self, *srcs):
        assert 2 <= len(srcs) <= 3, "the engine concatenates two or three inputs"
        return self._add(Node("conc", list(srcs), sum(self.nodes[s].channels for s in srcs)))

    def mult(self, src, gate):
        assert self.nodes[gate].channels == 1
        return self._add(Node("mult", [src, gate], self.nodes[src].channels))

    def add(self, a, b):
        assert self.nodes[a].channels == self.nodes[b].channels
        return self._add(Node("add ", [a, b], self.nodes[a].channels))

    def subtract(self, a, b):
        assert self.nodes[a].channels == self.nodes[b].channels
        return self._add(Node("subt", [a, b], self.nodes[a].channels))

    # -- running ------------------------------------------------------------------------
    def forward(self, x, return_all=False):
        values = [x]
        for node in self.nodes[1:]:
            ins = [values[i] for i in node.inputs]
            values.append(self._run(node, ins))
        return values if return_all else values[-1]

    @staticmethod
    def _run(node, ins):
        if node.kind == "co2d":
            return ACTIVATIONS[node.activation](node.conv(ins[0]))
        if node.kind == "maxp":
            return F.max_pool2d(ins[0], 2)
        if node.kind == "upsb":
            return F.interpolate(ins[0], scale_factor=2, mode="bilinear", align_corners=False)
        if node.kind == "conc":
            return torch.cat(ins, 1)
        if node.kind == "mult":
            return ins[0] * ins[1]
        if node.kind == "add ":
            return ins[0] + ins[1]
        if node.kind == "subt":
            return ins[0] - ins[1]
        raise ValueError(node.kind)

    # -- counting -----------------------------------------------------------------------
    def flops(self, height, width):
        """Floating-point operations of one run, per layer kind.

        A multiply-add counts 2, a bias add 1, an activation 1 per value (sigmoid 4),
        a 2x2 max 3 comparisons, a bilinear sample 7 (4 multiplies, 3 adds), a sum or
        product 1. Border taps that the zero padding skips are counted too (an upper bound).
        """
        sizes = [(height, width)]
        per_kind = {}
        for node in self.nodes[1:]:
            h, w = sizes[node.inputs[0]]
            if node.kind == "maxp":
                assert h % 2 == 0 and w % 2 == 0, "max pooling needs even sizes"
                h, w = h // 2, w // 2
            elif node.kind == "upsb":
                h, w = h * 2, w * 2
            sizes.append((h, w))
            n = h * w * node.channels
            if node.kind == "co2d":
                k = node.conv.kernel_size[0] * node.conv.kernel_size[1]
                cost = n * (2 * k * node.conv.in_channels + 1)
                cost += {"line": 0, "sigm": 4}.get(node.activation, 1) * n
            else:
                cost = n * {"maxp": 3, "upsb": 7, "conc": 0, "mult": 1, "add ": 1, "subt": 1}[node.kind]
            per_kind[node.kind] = per_kind.get(node.kind, 0) + cost
        return sum(per_kind.values()), per_kind

    def parameter_count(self):
        return sum(p.numel() for p in self.parameters())


def unet(g, x, enc_widths, dec_widths, first_convs):
    """Encoder-decoder with concatenated skips; returns the last decoder node (full size).

    enc_widths[i] is the width at scale 2^-i; first_convs[i] is how many 3x3 convolutions
    the encoder runs at that scale. dec_widths[i] is the decoder width at scale 2^-i.
    """
    skips, node = [], x
    for level, (width, convs) in enumerate(zip(enc_widths, first_convs)):
        if level:
            node = g.maxpool(node)
        for _ in range(convs):
            node = g.conv(node, width)
        skips.append(node)
    for level in range(len(enc_widths) - 2, -1, -1):
        node = g.concat(g.upsample(node), skips[level])
        node = g.conv(node, dec_widths[level])
    return node


def clean_net():
    """Backdrop cleaning: output = input + gate x (background - input).

    `background` (three channels) is the network's estimate of the clean backdrop and
    `gate` (sigmoid, one channel) says where dirt is. Where the gate is closed the input
    passes through unchanged, so clean backdrop, texture and the subject are kept. The
    gate starts at about 3 % open, the share of dirt in the training pictures: nearly
    "change nothing", yet not so closed that the sigmoid stops passing gradient.
    Four poolings: inputs must be multiples of 16 (832 is).
    """
    g = Graph(3)
    top = unet(g, 0, enc_widths=[8, 16, 32, 48, 64], dec_widths=[8, 12, 20, 32],
               first_convs=[1, 1, 1, 2, 2])
    background = g.conv(top, 3, act="line")
    gate = g.conv(top, 1, act="sigm")
    with torch.no_grad():
        g.nodes[gate].conv.bias.fill_(-3.5)
    g.outputs = [gate, background]
    g.add(0, g.mult(g.subtract(background, 0), gate))
    return g


def mask_net():
    """Subject mask: 256 x 256 x 3 in, 256 x 256 x 1 out, 0 background .. 1 subject.

    Five poolings reach 8 x 8, so the whole silhouette is in view of every output pixel.
    """
    g = Graph(3)
    top = unet(g, 0, enc_widths=[8, 16, 32, 48, 64, 96], dec_widths=[8, 16, 24, 32, 48],
               first_convs=[1, 1, 2, 2, 2, 2])
    g.conv(top, 1, act="sigm")
    return g


def gate_node(g):
    """Index of the cleaning network's gate (trained against the dirt mask)."""
    return g.outputs[0]


def background_node(g):
    """Index of the cleaning network's clean-backdrop estimate (trained against the truth)."""
    return g.outputs[1]


if __name__ == "__main__":
    for name, net, (h, w) in (("cleaning", clean_net(), (832, 832)), ("subject", mask_net(), (256, 256))):
        total, per_kind = net.flops(h, w)
        print(f"{name}: {len(net.nodes)} layers, {net.parameter_count()} parameters, "
              f"{total} FLOP per {h}x{w} run ({total / 1e9:.3f} GFLOP)")
        for kind, cost in sorted(per_kind.items()):
            print(f"    {kind!r}: {cost}")
