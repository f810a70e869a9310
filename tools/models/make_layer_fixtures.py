#!/usr/bin/python3
"""Writes the per-layer reference fixtures under tests/fixtures/layers/.

Each case is a small random-weight network; its expected output comes from
reference.py evaluating the stream bytes that were written, so the fixture
checks the engine against the stream, not against the writer's intentions.
Every case draws from its own generator seeded by its name, so adding or
changing one case leaves the others byte-identical.

    /usr/bin/python3 tools/models/make_layer_fixtures.py [--out DIR] [--only NAME...]
"""

from __future__ import annotations

import argparse
import shutil
import sys
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Dict, List

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import reference  # noqa: E402
from nnstream import ModelStream  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
DEFAULT_OUT = REPO / "tests" / "fixtures" / "layers"
BASE_TOLERANCE = 1e-4


@dataclass
class Case:
    model: ModelStream
    inputs: List[np.ndarray]          # (H, W, C) float32, one per input layer
    entry: str = "predict"
    switches: Dict[int, int] = field(default_factory=dict)   # layer -> run-time switch value
    tolerance_note: str = ""          # why a case needs more than the base rule
    tolerance_factor: float = 1.0


@dataclass
class RegisteredCase:
    name: str
    covers: str
    build: Callable[[np.random.Generator], Case]


CASES: List[RegisteredCase] = []


def case(name: str, covers: str):
    def register(build):
        CASES.append(RegisteredCase(name, covers, build))
        return build
    return register


# ---- random data -------------------------------------------------------------

def image(rng, w, h, c, low=-1.0, high=1.0) -> np.ndarray:
    return rng.uniform(low, high, (h, w, c)).astype(np.float32)


def conv_weights(rng, cout, cin, kh, kw):
    scale = 1.5 / np.sqrt(cin * kh * kw)
    return (rng.uniform(-scale, scale, (cout, cin, kh, kw)).astype(np.float32),
            rng.uniform(-0.2, 0.2, cout).astype(np.float32))


def single_conv(rng, w, h, cin, cout, k, stride=1, dilation=1, mode=1,
                activation="line", kw=None, version=5) -> Case:
    m = ModelStream(version=version, stride_offset_mode=mode)
    x = m.input(cin)
    wt, b = conv_weights(rng, cout, cin, k, kw or k)
    m.conv2d(x, wt, b, stride=stride, dilation=dilation, activation=activation)
    return Case(m, [image(rng, w, h, cin)])


def unary(rng, w, h, c, add_layer, low=-1.0, high=1.0, mode=1) -> Case:
    m = ModelStream(stride_offset_mode=mode)
    add_layer(m, m.input(c))
    return Case(m, [image(rng, w, h, c, low, high)])


# ---- convolutions --------------------------------------------------------------

CONVOLUTIONS = [
    # name, covers, (w, h, cin, cout, k, stride, dilation, stride offset mode), extra
    ("conv1x1_s1_c3to5_7x5", "1x1 (pointwise), stride 1, scalar channels",
     (7, 5, 3, 5, 1, 1, 1, 1), {}),
    ("conv1x1_s2_c8to4_13x11", "1x1 stride 2 samples (2x, 2y) with no offset even in offset mode 0; float4 channels",
     (13, 11, 8, 4, 1, 2, 1, 0), {}),
    ("conv2x2_s1_c4to3_7x5", "2x2 taps -1..0, stride 1",
     (7, 5, 4, 3, 2, 1, 1, 1), {}),
    ("conv2x2_s2_c3to4_8x6", "2x2 stride 2 (centre offset 1 in both modes)",
     (8, 6, 3, 4, 2, 2, 1, 0), {}),
    ("conv3x3_s1_c3to5_7x5", "3x3 stride 1, 3 input channels (scalar path), odd size",
     (7, 5, 3, 5, 3, 1, 1, 1), {}),
    ("conv3x3_s1_c12to6_8x6", "3x3, 12 input channels (float4 path, 3 groups)",
     (8, 6, 12, 6, 3, 1, 1, 1), {}),
    ("conv3x3_s1_c6to4_13x11", "3x3, 6 input channels (not a multiple of 4: scalar path)",
     (13, 11, 6, 4, 3, 1, 1, 1), {}),
    ("conv3x3_s2_mode0_c4to4_13x11", "3x3 stride 2, offset mode 0 (centre 2x+1), odd size",
     (13, 11, 4, 4, 3, 2, 1, 0), {}),
    ("conv3x3_s2_mode1_c4to4_13x11", "3x3 stride 2, offset mode 1 (centre 2x), odd size",
     (13, 11, 4, 4, 3, 2, 1, 1), {}),
    ("conv3x3_s2_mode1_c3to4_8x6", "3x3 stride 2, offset mode 1, even size, scalar channels",
     (8, 6, 3, 4, 3, 2, 1, 1), {}),
    ("conv5x5_s1_c3to4_13x11", "5x5 stride 1, taps -2..2 clipped at every border",
     (13, 11, 3, 4, 5, 1, 1, 1), {}),
    ("conv5x5_s2_mode0_c8to4_13x11", "5x5 stride 2, offset mode 0, float4 channels",
     (13, 11, 8, 4, 5, 2, 1, 0), {}),
    ("conv5x5_s2_mode1_c8to4_8x6", "5x5 stride 2, offset mode 1, even size",
     (8, 6, 8, 4, 5, 2, 1, 1), {}),
    ("conv3x3_d2_c4to4_13x11", "3x3 dilation 2",
     (13, 11, 4, 4, 3, 1, 2, 1), {}),
    ("conv5x5_d2_c3to3_7x5", "5x5 dilation 2: taps reach +-4, beyond the 5-row image",
     (7, 5, 3, 3, 5, 1, 2, 1), {}),
    ("conv3x3_d2_s2_mode0_c4to4_13x11", "3x3 dilation 2 with stride 2, offset mode 0",
     (13, 11, 4, 4, 3, 2, 2, 0), {}),
    ("conv3x5_s1_c4to4_8x6", "non-square filter: 5 wide, 3 high",
     (8, 6, 4, 4, 3, 1, 1, 1), {"kw": 5}),
    # Channel counts of the real networks (multiples of 16), where fast kernels
    # split interior and border and work on several pixels at once; widths
    # that are not multiples of 4 or 8 leave partial groups at the right edge.
    ("conv3x3_s1_c16to16_13x11", "3x3 16 to 16, ReLU, odd size",
     (13, 11, 16, 16, 3, 1, 1, 1), {"activation": "relu"}),
    ("conv3x3_s1_c32to32_10x6", "3x3 32 to 32, even size",
     (10, 6, 32, 32, 3, 1, 1, 1), {}),
    ("conv3x3_s1_c3to16_13x11", "3x3 3 to 16 (scalar input channels, vector outputs), ELU",
     (13, 11, 3, 16, 3, 1, 1, 1), {"activation": "elu"}),
    ("conv3x3_s2_mode1_c16to32_13x11", "3x3 stride 2 16 to 32, offset mode 1",
     (13, 11, 16, 32, 3, 2, 1, 1), {}),
    ("conv3x3_s2_mode0_c16to16_12x10", "3x3 stride 2 16 to 16, offset mode 0",
     (12, 10, 16, 16, 3, 2, 1, 0), {}),
    ("conv3x3_d2_c16to16_13x11", "3x3 dilation 2, 16 to 16",
     (13, 11, 16, 16, 3, 1, 2, 1), {}),
    ("conv5x5_s1_c16to16_9x7", "5x5 16 to 16, sigmoid",
     (9, 7, 16, 16, 5, 1, 1, 1), {"activation": "sigm"}),
    ("conv1x1_s1_c16to32_13x11", "1x1 16 to 32, leaky 0.1",
     (13, 11, 16, 32, 1, 1, 1, 1), {"activation": "lre1"}),
    ("conv2x2_s2_c16to16_13x11", "2x2 stride 2 16 to 16, odd size",
     (13, 11, 16, 16, 2, 2, 1, 1), {}),
]


def _register_convolutions():
    for name, covers, (w, h, cin, cout, k, s, d, mode), extra in CONVOLUTIONS:
        case(name, covers)(
            lambda rng, a=(w, h, cin, cout, k, s, d, mode), e=extra:
                single_conv(rng, *a[:5], stride=a[5], dilation=a[6], mode=a[7], **e))

    for act in ("line", "relu", "elu", "lre1", "lre3", "sigm"):
        case(f"conv3x3_act_{act}", f"3x3 convolution with activation {act!r} inside the kernel")(
            lambda rng, a=act: single_conv(rng, 8, 6, 4, 4, 3, activation=a))
    case("conv1x1_act_sigm", "sigmoid inside the pointwise kernel")(
        lambda rng: single_conv(rng, 7, 5, 4, 3, 1, activation="sigm"))


_register_convolutions()


def depthwise_case(rng, w, h, c, k, stride=1, mode=1, activation="line") -> Case:
    m = ModelStream(stride_offset_mode=mode)
    x = m.input(c)
    m.depthwise(x, rng.uniform(-0.6, 0.6, (c, 1, k, k)), rng.uniform(-0.2, 0.2, c),
                stride=stride, activation=activation)
    return Case(m, [image(rng, w, h, c)])


case("depw3x3_s1_c4_8x6", "depthwise 3x3, 4 channels, leaky 0.3 inside")(
    lambda rng: depthwise_case(rng, 8, 6, 4, 3, activation="lre3"))
case("depw5x5_s1_c3_7x5", "depthwise 5x5, 3 channels, odd size")(
    lambda rng: depthwise_case(rng, 7, 5, 3, 5))
case("depw3x3_s2_mode1_c4_13x11", "depthwise 3x3 stride 2: taps around the source centre")(
    lambda rng: depthwise_case(rng, 13, 11, 4, 3, stride=2, mode=1))


def separable_case(rng, w, h, cin, cout, k, stride=1, mode=1, activation="line") -> Case:
    m = ModelStream(stride_offset_mode=mode)
    x = m.input(cin)
    scale = 1.5 / np.sqrt(cin * k * k)
    m.separable(x, rng.uniform(-0.6, 0.6, (cin, 1, k, k)),
                rng.uniform(-scale * k, scale * k, (cout, cin)),
                rng.uniform(-0.2, 0.2, cout), stride=stride, activation=activation)
    return Case(m, [image(rng, w, h, cin)])


case("sepa3x3_s1_c4to6_7x5", "separable 3x3, float4 channels, ELU inside")(
    lambda rng: separable_case(rng, 7, 5, 4, 6, 3, activation="elu"))
case("sepa3x3_s2_mode0_c6to4_13x11", "separable 3x3 stride 2, offset mode 0, scalar channels")(
    lambda rng: separable_case(rng, 13, 11, 6, 4, 3, stride=2, mode=0))
case("sepa5x5_s1_c3to8_8x6", "separable 5x5, 3 channels")(
    lambda rng: separable_case(rng, 8, 6, 3, 8, 5))

# ---- pooling and resampling ---------------------------------------------------

case("maxpool_c3_7x5", "2x2 max pooling, odd size (last column and row dropped)")(
    lambda rng: unary(rng, 7, 5, 3, lambda m, x: m.max_pool(x)))
case("maxpool_c4_8x6", "2x2 max pooling, even size")(
    lambda rng: unary(rng, 8, 6, 4, lambda m, x: m.max_pool(x)))
case("avgpool_s2_c3_13x11", "average pooling stride 2 (2x2 mean)")(
    lambda rng: unary(rng, 13, 11, 3, lambda m, x: m.avg_pool(x, 2, 2)))
case("avgpool_s1_p3_c4_7x5", "average pooling stride 1, pool 3: 3x3 mean, edge pixels repeated")(
    lambda rng: unary(rng, 7, 5, 4, lambda m, x: m.avg_pool(x, 1, 3)))
case("avgpool_s1_p2_c3_8x6", "average pooling stride 1, pool 2: (x..x+1, y..y+1) clamped")(
    lambda rng: unary(rng, 8, 6, 3, lambda m, x: m.avg_pool(x, 1, 2)))
case("upsample_nearest_c3_7x5", "nearest 2x upsampling")(
    lambda rng: unary(rng, 7, 5, 3, lambda m, x: m.upsample_nearest(x)))
case("upsample_bilinear_c3_7x5", "bilinear 2x upsampling, 9/3/3/1 weights, clamped edges, odd size")(
    lambda rng: unary(rng, 7, 5, 3, lambda m, x: m.upsample_bilinear(x)))
case("upsample_bilinear_c4_8x6", "bilinear 2x upsampling, even size")(
    lambda rng: unary(rng, 8, 6, 4, lambda m, x: m.upsample_bilinear(x)))
def peaked_image(rng, w, h, c) -> np.ndarray:
    """Per-channel offsets, and one clear peak per channel: channel 0 at the
    first pixel, channel 1 at the last, the others anywhere.  A sum or maximum
    that misses a row or column changes visibly."""
    x = image(rng, w, h, c, -1.0, 0.5) + rng.uniform(-1.0, 1.0, c).astype(np.float32)
    spots = [(0, 0), (h - 1, w - 1)] + [(rng.integers(h), rng.integers(w)) for _ in range(c - 2)]
    for ch, (y, xx) in enumerate(spots[:c]):
        x[y, xx, ch] = 4.0 + ch
    return x


def global_pool_case(rng, w, h, c, pool) -> Case:
    m = ModelStream()
    pool(m, m.input(c))
    return Case(m, [peaked_image(rng, w, h, c)])


case("global_avg_c5_13x11", "global average pooling; peaks at the first and last pixels")(
    lambda rng: global_pool_case(rng, 13, 11, 5, lambda m, x: m.global_avg_pool(x)))
case("global_max_c4_8x6", "global max pooling; maxima at the first and last pixels")(
    lambda rng: global_pool_case(rng, 8, 6, 4, lambda m, x: m.global_max_pool(x)))

# ---- element-wise --------------------------------------------------------------

for _act in ("relu", "elu", "lre1", "lre3"):
    case(f"layer_{_act}_c3_7x5", f"stand-alone activation layer {_act!r}")(
        lambda rng, a=_act: unary(rng, 7, 5, 3, lambda m, x: m.activation(x, a), -2.0, 2.0))
case("clip_c3_7x5", "clip to [0, 1] on values from -1.5 to 2")(
    lambda rng: unary(rng, 7, 5, 3, lambda m, x: m.clip(x), -1.5, 2.0))
case("axplusb_c5_8x6", "a*x + b with a = 1.5, b = -0.25")(
    lambda rng: unary(rng, 8, 6, 5, lambda m, x: m.linear(x, 1.5, -0.25)))


def branch_case(rng, w, h, cin, combine, branch_channels=None) -> Case:
    """One input, a 3x3 convolution branch beside it, combined by `combine`."""
    m = ModelStream()
    x = m.input(cin)
    wt, b = conv_weights(rng, branch_channels or cin, cin, 3, 3)
    y = m.conv2d(x, wt, b, activation="relu")
    combine(m, x, y)
    return Case(m, [image(rng, w, h, cin)])


case("add_c4_7x5", "sum of the input and a convolution of it")(
    lambda rng: branch_case(rng, 7, 5, 4, lambda m, x, y: m.add(x, y)))
case("subtract_c3_8x6", "difference, convolution minus input (operand order matters)")(
    lambda rng: branch_case(rng, 8, 6, 3, lambda m, x, y: m.subtract(y, x)))
case("multiply_c4_7x5", "product, same channel count")(
    lambda rng: branch_case(rng, 7, 5, 4, lambda m, x, y: m.multiply(x, y)))
case("multiply_broadcast1_c4_8x6", "product with a one-channel second input (scales every channel)")(
    lambda rng: branch_case(rng, 8, 6, 4, lambda m, x, y: m.multiply(x, y), branch_channels=1))
case("multiply_broadcast2_c6_7x5", "product with a two-channel second input (channel i uses i mod 2)")(
    lambda rng: branch_case(rng, 7, 5, 6, lambda m, x, y: m.multiply(x, y), branch_channels=2))
case("concat2_c3_8x6", "concatenation of two: input (3) then convolution (5)")(
    lambda rng: branch_case(rng, 8, 6, 3, lambda m, x, y: m.concat(x, y), branch_channels=5))


@case("concat3_c4_7x5", "concatenation of three: input (4), two convolutions (2 and 5)")
def _concat3(rng):
    m = ModelStream()
    x = m.input(4)
    a = m.conv2d(x, *conv_weights(rng, 2, 4, 1, 1))
    b = m.conv2d(x, *conv_weights(rng, 5, 4, 3, 3), activation="elu")
    m.concat(x, a, b)
    return Case(m, [image(rng, 7, 5, 4)])


@case("two_inputs_multiply_8x6", "two model inputs (3 and 1 channels), product with broadcast")
def _two_inputs(rng):
    m = ModelStream()
    a, b = m.input(3), m.input(1)
    m.multiply(a, b)
    return Case(m, [image(rng, 8, 6, 3), image(rng, 8, 6, 1)], entry="predict2Inputs")


@case("three_inputs_concat_7x5", "three model inputs concatenated, then a 3x3 convolution")
def _three_inputs(rng):
    m = ModelStream()
    xs = [m.input(3) for _ in range(3)]
    y = m.concat(*xs)
    m.conv2d(y, *conv_weights(rng, 4, 9, 3, 3))
    return Case(m, [image(rng, 7, 5, 3) for _ in range(3)], entry="predict3Inputs")


# ---- shape ---------------------------------------------------------------------

case("split_c6_7x5", "split: channels 1..3 of 6")(
    lambda rng: unary(rng, 7, 5, 6, lambda m, x: m.split(x, 1, 4)))
case("tile_3x2x2_to_7x5x5", "tile a 3x2x2 input periodically to 7x5x5")(
    lambda rng: unary(rng, 3, 2, 2, lambda m, x: m.tile(x, 7, 5, 5)))


@case("reshape_4x3x6_to_6x4x3", "reshape keeps the element order; a 3x3 convolution sees the new shape")
def _reshape(rng):
    m = ModelStream()
    y = m.reshape(m.input(6), 6, 4, 3)
    m.conv2d(y, *conv_weights(rng, 2, 3, 3, 3))
    return Case(m, [image(rng, 4, 3, 6)])


case("transpose_mode1_5x3x4", "transpose mode 1: width and channels swap (5x3x4 to 4x3x5)")(
    lambda rng: unary(rng, 5, 3, 4, lambda m, x: m.transpose(x, 1)))
case("transpose_mode1000_5x3x4", "transpose mode 1000: height and channels swap (5x3x4 to 5x4x3)")(
    lambda rng: unary(rng, 5, 3, 4, lambda m, x: m.transpose(x, 1000)))


@case("matmul_6x4_by_4x6", "matrix product of a 6x4 and a 4x6 matrix made by reshapes")
def _matmul(rng):
    m = ModelStream()
    x = m.input(4)
    a = m.reshape(x, 1, 6, 4)
    y = m.conv2d(x, *conv_weights(rng, 4, 4, 1, 1))
    b = m.reshape(y, 1, 4, 6)
    m.matmul(a, b)
    return Case(m, [image(rng, 2, 3, 4)])


@case("dense_after_global_avg_c6", "global average pooling, then dense 6 to 5 with ELU")
def _dense_gap(rng):
    m = ModelStream()
    g = m.global_avg_pool(m.input(6))
    m.dense(g, rng.uniform(-1, 1, (5, 6)), rng.uniform(-0.2, 0.2, 5), activation="elu")
    return Case(m, [peaked_image(rng, 8, 6, 6)])


@case("dense_flatten_3x2x2", "dense over all 12 values of a 3x2x2 input (interleaved order), sigmoid")
def _dense_flat(rng):
    m = ModelStream()
    m.dense(m.input(2), rng.uniform(-1, 1, (7, 12)), rng.uniform(-0.2, 0.2, 7), activation="sigm")
    return Case(m, [image(rng, 3, 2, 2)])


def group_norm_case(rng, w, h, c, groups) -> Case:
    m = ModelStream()
    m.group_norm(m.input(c), groups, rng.uniform(0.5, 1.5, c), rng.uniform(-0.5, 0.5, c))
    # Per-channel offsets and scales so that group statistics differ from channel ones.
    x = image(rng, w, h, c) * rng.uniform(0.2, 2.0, c) + rng.uniform(-1, 1, c)
    return Case(m, [x.astype(np.float32)])


case("groupnorm_g2_c4_8x6", "group normalisation, 2 groups of 2 channels")(
    lambda rng: group_norm_case(rng, 8, 6, 4, 2))
case("groupnorm_g3_c6_7x5", "group normalisation, 3 groups of 2 channels, odd size")(
    lambda rng: group_norm_case(rng, 7, 5, 6, 3))
case("groupnorm_g1_c3_13x11", "group normalisation, one group over all channels")(
    lambda rng: group_norm_case(rng, 13, 11, 3, 1))

# ---- image filters ---------------------------------------------------------------


def quantised_image(rng, w, h, c, low=0.0, high=1.0) -> np.ndarray:
    """Values at the middle of their median level, so that the level of every
    sample is far from a rounding boundary."""
    levels = rng.integers(int(low * 255), int(high * 255) + 1, (h, w, c))
    return ((levels + 0.5) / 255).astype(np.float32)


def filter_case(rng, w, h, c, add_layer, pixels, switch=None) -> Case:
    m = ModelStream()
    layer = add_layer(m, m.input(c))
    return Case(m, [pixels], switches={} if switch is None else {layer: switch})


case("iirb_c3_13x11", "recursive blur, strength 3; a threshold of 0.1 clamps most steps on noise")(
    lambda rng: filter_case(rng, 13, 11, 3, lambda m, x: m.iir_blur(x, 3.0, 0.1), image(rng, 13, 11, 3, 0, 1)))
case("iirb_c5_9x7", "recursive blur, strength 8, threshold 2 (never clamps), five channels")(
    lambda rng: filter_case(rng, 9, 7, 5, lambda m, x: m.iir_blur(x, 8.0, 2.0), image(rng, 9, 7, 5)))
case("sblu_mode0_blur_c3_13x11", "switchable blur, mode 0: the recursive blur into a separate output")(
    lambda rng: filter_case(rng, 13, 11, 3, lambda m, x: m.switchable_blur(x, 2.0, 0.3),
                            image(rng, 13, 11, 3, 0, 1), switch=0))
case("sblu_mode9_blur_c3_7x5", "switchable blur, an unknown mode runs the recursive blur")(
    lambda rng: filter_case(rng, 7, 5, 3, lambda m, x: m.switchable_blur(x, 5.0, 0.05),
                            image(rng, 7, 5, 3, 0, 1), switch=9))
case("sblu_mode1_bilateral_c3_13x11", "bilateral, sigma 1.5 (halo 3), edge threshold 0.4")(
    lambda rng: filter_case(rng, 13, 11, 3, lambda m, x: m.switchable_blur(x, 3.0, 0.4),
                            image(rng, 13, 11, 3, 0, 1), switch=1))
case("sblu_mode1_bilateral_halo_past_border_c3_7x5", "bilateral, halo 12 beyond a 7x5 image (edges repeat)")(
    lambda rng: filter_case(rng, 7, 5, 3, lambda m, x: m.switchable_blur(x, 12.0, 0.3),
                            image(rng, 7, 5, 3, 0, 1), switch=1))
case("sblu_mode2_median_r2_t01_c3_13x11", "median of every channel, radius 2, threshold 0.1 (25 levels)")(
    lambda rng: filter_case(rng, 13, 11, 3, lambda m, x: m.switchable_blur(x, 2.0, 0.1),
                            quantised_image(rng, 13, 11, 3), switch=2))
case("sblu_mode2_median_r1_full_range_c3_9x7", "median, radius 0.4 taken as 1, full level range (coarse bins "
     "skipped whole), values outside [0, 1] clamp to the end levels")(
    lambda rng: filter_case(rng, 9, 7, 3, lambda m, x: m.switchable_blur(x, 0.4, 1.0),
                            np.clip(quantised_image(rng, 9, 7, 3), 0.1, 0.9) * 1.5 - 0.25, switch=2))
case("sblu_mode2_median_r3_wide_window_c3_5x4", "median, radius 3 on a 5x4 image: the window repeats edges")(
    lambda rng: filter_case(rng, 5, 4, 3, lambda m, x: m.switchable_blur(x, 3.0, 0.5),
                            quantised_image(rng, 5, 4, 3), switch=2))
case("sblu_mode3_median_luma_dark_c3_11x9", "luma median with a black patch: level 0 is a valid median")(
    lambda rng: filter_case(rng, 11, 9, 3, lambda m, x: m.switchable_blur(x, 1.0, 1.0),
                            _dark_patch(quantised_image(rng, 11, 9, 3)), switch=3))


def _dark_patch(pixels: np.ndarray) -> np.ndarray:
    pixels = pixels.copy()
    pixels[2:7, 1:6] = 0.0
    pixels[4, 3] = 0.6      # a bright speck inside the patch is removed
    return pixels


@case("sblu_mode3_luma_input_read_again_11x9", "luma median, then the input is read again by an add: the "
      "in-place conversion of the input is undone")
def _luma_then_input(rng):
    m = ModelStream()
    x = m.input(3)
    y = m.switchable_blur(x, 2.0, 0.2)
    m.add(x, y)
    return Case(m, [quantised_image(rng, 11, 9, 3)], switches={y: 3})


def mix2_case(rng, w, h, black_mask) -> Case:
    m = ModelStream()
    x = m.input(3)
    detail = m.conv2d(x, *conv_weights(rng, 3, 3, 3, 3))
    m.mix2(x, detail, 0.8, 1.3, 0.05, 0.5, 0.15, black_mask)
    return Case(m, [image(rng, w, h, 3, 0, 1)])


case("mix2_limit_gate_black_mask_13x11", "gated blend: detail limited to 0.5, gate 0.15 (halved and ramped), "
     "dark-pixel protection below 0.4")(lambda rng: mix2_case(rng, 13, 11, 0.4))
case("mix2_no_black_mask_9x7", "gated blend with blackMask 0: no dark-pixel protection")(
    lambda rng: mix2_case(rng, 9, 7, 0.0))
case("saturation_c3_7x5", "saturation 1.7 around the grey mean")(
    lambda rng: unary(rng, 7, 5, 3, lambda m, x: m.saturation(x, 1.7), 0, 1))
case("swnl_log_then_exp_c3_7x5", "switchable log mapping, then the exp mapping: the input back")(
    lambda rng: unary(rng, 7, 5, 3, lambda m, x: m.switchable_nonlinear(m.switchable_nonlinear(x, 1), 2), 0, 1))
case("swnl_log_c4_8x6", "switchable log mapping; negative values give 0")(
    lambda rng: unary(rng, 8, 6, 4, lambda m, x: m.switchable_nonlinear(x, 1), -0.5, 1))


# ---- buffer sharing --------------------------------------------------------------


@case("sharing_conv_two_activations_8x6", "convolution, then two activation layers in place")
def _sharing_chain(rng):
    m = ModelStream()
    y = m.conv2d(m.input(4), *conv_weights(rng, 4, 4, 3, 3))
    m.activation(m.activation(y, "lre1"), "elu")
    return Case(m, [image(rng, 8, 6, 4)])


@case("sharing_pending_reader_7x5", "an activation must not overwrite a convolution output that a later add still reads")
def _sharing_pending(rng):
    m = ModelStream()
    x = m.input(4)
    a = m.conv2d(x, *conv_weights(rng, 4, 4, 3, 3))
    r = m.activation(a, "relu")
    c = m.conv2d(r, *conv_weights(rng, 4, 4, 1, 1))
    m.add(a, c)
    return Case(m, [image(rng, 7, 5, 4)])


# ---- older stream versions ---------------------------------------------------------

case("version0_conv3x3_7x5", "headerless stream: 3-channel input, no dilation field")(
    lambda rng: single_conv(rng, 7, 5, 3, 4, 3, mode=0, activation="relu", version=0))
case("version1_conv3x3_s2_8x6", "version 1: no header fields, no dilation, offset mode 0")(
    lambda rng: single_conv(rng, 8, 6, 3, 4, 3, stride=2, mode=0, version=1))
case("version2_conv3x3_d2_7x5", "version 2: dilation stored")(
    lambda rng: single_conv(rng, 7, 5, 3, 4, 3, dilation=2, mode=0, version=2))
case("version3_conv3x3_s2_mode1_7x5", "version 3: header with offset mode 1")(
    lambda rng: single_conv(rng, 7, 5, 3, 4, 3, stride=2, mode=1, version=3))
case("version4_conv3x3_c5_8x6", "version 4: input channel count stored")(
    lambda rng: single_conv(rng, 8, 6, 5, 4, 3, version=4))


# ---- a small U-Net -------------------------------------------------------------------

@case("unet_40x24", "U-Net: two encoder levels (max pooling, stride-2 convolution), bilinear and "
      "nearest upsampling, concatenated skips, group normalisation, residual add, output layer list")
def _unet(rng):
    m = ModelStream()
    x = m.input(3)

    def conv(src, cin, cout, k=3, stride=1, act="relu"):
        return m.conv2d(src, *conv_weights(rng, cout, cin, k, k), stride=stride, activation=act)

    e1 = conv(conv(x, 3, 8), 8, 8)                      # 40x24x8
    e2 = conv(conv(m.max_pool(e1), 8, 12), 12, 12)      # 20x12x12
    bottom = conv(e2, 12, 16, stride=2)                 # 10x6x16
    bottom = m.group_norm(bottom, 4, rng.uniform(0.5, 1.5, 16), rng.uniform(-0.3, 0.3, 16))
    bottom = conv(bottom, 16, 16, act="elu")
    d2 = conv(m.concat(m.upsample_bilinear(bottom), e2), 28, 12)   # 20x12x12
    d1 = conv(m.concat(m.upsample_nearest(d2), e1), 20, 8)         # 40x24x8
    residual = conv(d1, 8, 3, k=1, act="line")
    m.mark_output(residual)
    m.add(x, residual)
    return Case(m, [image(rng, 40, 24, 3, 0.0, 1.0)])


@case("unet16_32_64_24x16", "U-Net with the real networks' channel counts (16, 32, 64): "
      "3x3 convolutions, max pooling, bilinear upsampling, concatenated skips")
def _unet_wide(rng):
    m = ModelStream()
    x = m.input(3)

    def conv(src, cin, cout, act="relu"):
        return m.conv2d(src, *conv_weights(rng, cout, cin, 3, 3), activation=act)

    e1 = conv(conv(x, 3, 16), 16, 16)                       # 24x16x16
    e2 = conv(conv(m.max_pool(e1), 16, 32), 32, 32)         # 12x8x32
    bottom = conv(conv(m.max_pool(e2), 32, 64), 64, 64)     # 6x4x64
    d2 = conv(conv(m.concat(m.upsample_bilinear(bottom), e2), 96, 32), 32, 32)
    d1 = conv(conv(m.concat(m.upsample_bilinear(d2), e1), 48, 16), 16, 16)
    m.conv2d(d1, *conv_weights(rng, 3, 16, 1, 1))
    return Case(m, [image(rng, 24, 16, 3, 0.0, 1.0)])


# ---- writing -----------------------------------------------------------------------------

def case_rng(name: str) -> np.random.Generator:
    return np.random.default_rng(zlib.crc32(name.encode()))


def write_case(entry: RegisteredCase, out: Path) -> dict:
    built = entry.build(case_rng(entry.name))
    stream = built.model.to_bytes()
    model = reference.read_stream(stream)
    for layer, mode in built.switches.items():
        model.layers[layer].switch_mode = mode
    expected = reference.run_model(model, built.inputs)[-1].astype(np.float32)
    spread = float(expected.max() - expected.min()) if expected.size else 0.0
    tolerance = BASE_TOLERANCE * max(1.0, spread) * built.tolerance_factor

    folder = out / entry.name
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "model.cnn").write_bytes(stream)
    meta = [f"# {entry.covers}"]
    if built.tolerance_note:
        meta.append(f"# tolerance: {built.tolerance_note}")
    meta.append(f"inputs {len(built.inputs)}")
    for i, x in enumerate(built.inputs):
        (folder / f"input{i}.f32").write_bytes(x.astype("<f4").tobytes())
        h, w, c = x.shape
        meta.append(f"input{i} {w} {h} {c}")
    h, w, c = expected.shape
    meta.append(f"output {w} {h} {c}")
    meta.append(f"tolerance {tolerance:.6g}")
    if built.entry != "predict":
        meta.append(f"entry {built.entry}")
    for layer, mode in sorted(built.switches.items()):
        meta.append(f"switch {layer} {mode}")
    (folder / "expected.f32").write_bytes(expected.astype("<f4").tobytes())
    (folder / "meta.txt").write_text("\n".join(meta) + "\n")
    return {"name": entry.name, "covers": entry.covers, "output": (w, h, c)}


README_HEAD = """\
# Layer reference fixtures

Small random-weight networks, one per folder, each with the output the engine
must compute for it.  The engine's reference test runs every folder through
`NNInference` and compares.  Generated by `tools/models/make_layer_fixtures.py`
(do not edit by hand; this file is generated too).

## Regenerating

    /usr/bin/python3 tools/models/make_layer_fixtures.py

needs python3-numpy only.  The writer's own self-check, which also verifies that
these files are what the generator writes now, needs python3-torch as well:

    cd tools/models && /usr/bin/python3 -m unittest test_nnstream

Each case is seeded from its name: adding or changing a case leaves the other
folders byte-identical.  Folders of removed cases are deleted.

## Format of a case folder

- `model.cnn`: the model stream (version 5 unless the case name says otherwise).
- `input0.f32` (`input1.f32`, `input2.f32` for 2 or 3 inputs): raw little-endian
  float32, interleaved, element (x, y, c) at (x + y*W)*C + c.
- `expected.f32`: the output of the model's last layer, same layout.
- `meta.txt`: lines `inputs N`; `input<i> W H C` per input; `output W H C`;
  `tolerance T`; optionally `entry predict|predict2Inputs|predict3Inputs`
  (absent: `predict`) and `switch L M` lines (before predicting, set the
  switch of layer L to M through the engine's switch table: the modes of
  "SBlu" are not stored in the stream).  Lines starting with `#` are comments (the first says
  what the case covers).

Inputs feed the model's input layers in stream order; they are always the first
layers.  How to size and run each entry:

- `predict`: `allocate(W0, H0, C0)`, then `predict`.
- `predict2Inputs`: `allocate(W0, H0, C0)`, then `predict2Inputs`.  Every input
  has the first input's width and height; the second input layer stores its own
  channel count, which may differ from the first's (1 in
  `two_inputs_multiply_8x6`).  `allocateDifferentSizes` cannot size such a
  model: it checks every input's channels against the first input layer's.
- `predict3Inputs`: `allocateDifferentSizes` with the `input<i>` lines, then
  `predict3Inputs`; all three inputs have the same channel count.

## Tolerance

`tolerance` is an absolute bound on the largest difference between the engine's
output and `expected.f32`: 1e-4 x max(1, max - min of the expected output).
The expected values are computed in float64 from the float32 weights and inputs
stored in the files, then rounded to float32; the bound leaves room for float32
accumulation and the fast-math build options.  A case that needs more says why
in a `# tolerance:` comment.

## How the references compute (choices the engine must match)

The reference (`tools/models/reference.py`) reads the stream bytes and follows
the engine's arithmetic: zero padding by clipped taps without renormalisation,
output sizes floor(input / stride), the centre offset of strided kernels (mode 0:
stride/2; mode 1: (stride - filterWidth % 2)/2, used for both axes), 1x1
convolutions sampling (x*stride, y*stride), bilinear 9/3/3/1 weights with clamped
neighbours, the three average poolings (the 3x3 one clamps coordinates and
multiplies by 0.11111111), group normalisation with +0.01 inside the square
root and group statistics averaged over per-channel statistics.

Where the arithmetic needed a decision:

- Depthwise convolution with stride 2 reads its taps around the source centre
  (x*stride + off, y*stride + off) of the source image, like the other
  convolutions.  Reading relative to the output pixel index is only right for
  stride 1 and reads the wrong pixels otherwise.  Dilation is not used by
  depthwise and separable layers; the writer refuses dilation other than 1 there.
- Depthwise streams store outputChannels 1 in the convolution block, so the
  weight count is filterHeight x filterWidth x channels exactly; the loader then
  sets outputChannels to inputChannels.
- Transpose, for a W x H x C input: mode 1 gives C x H x W with
  output(x, y, c) = input(c, y, x), that is index (c + y*W)*C + x with the
  source width W (not the output width); mode 1000 gives W x C x H with
  output(x, y, c) = input(x, c, y), index (x + c*W)*C + y.
- Matrix product: both operands are one pixel wide (an R x K matrix is a
  1 x R x K image); output(0, y, n) sums over the K = inputChannels (= second
  input's height) products, not over the first input's height.
- Dense layers read the first inputChannels floats of their input in the
  interleaved order (a flatten of a spatial input).
- The product layer repeats the second input's channels across the first's:
  channel i is multiplied by channel i mod C2.
- Clip layers store clipMin 0 and clipMax 1; the engine clamps to [0, 1].
- Every convolution and dense layer stores its biases (zeros when the network
  has none), so the kernels' argument lists never shift.
- Recursive blur: k = min(0.9999, tan((pi/2) / (0.7 s + 1))) as float32; each
  step b = v k + running (1 - k) is clamped into [v - t, v + t]; forward then
  backward along each row (the running value carries over), then the same
  along each column of the row result.
- Bilateral: sigma = strength / 2, halo = int(min(50, 2 sigma)); a halo below 1
  copies the pixel; a zero edge threshold weighs only identical colours.
- Medians: levels int(v * 255) of the float32 product, clamped to 0..255;
  the window repeats edge pixels; the result is the sample of rank size // 2
  among the window samples within the threshold (256 x parameter, truncated)
  of the centre's level; level 0 (black) is a valid median.  The luma median
  works on Y of the YUV conversion, carries U and V, and converts back with
  the exact inverse of the forward matrix; it converts its input in place and
  back, and later readers of that input see the round trip.
- Every stream ends exactly after its last layer: a loader that rejects any
  short read loads all of them.

## Cases

| case | covers | output W x H x C |
|---|---|---|
"""


def write_readme(out: Path, rows: List[dict]) -> None:
    lines = [f"| `{r['name']}` | {r['covers']} | {r['output'][0]} x {r['output'][1]} x {r['output'][2]} |"
             for r in rows]
    (out / "README.md").write_text(README_HEAD + "\n".join(lines) + "\n")


def remove_stale(out: Path, keep: set) -> None:
    for folder in out.iterdir() if out.exists() else []:
        if folder.is_dir() and (folder / "meta.txt").exists() and folder.name not in keep:
            shutil.rmtree(folder)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--only", nargs="*", help="regenerate only these cases")
    parser.add_argument("--list", action="store_true", help="print the cases and exit")
    args = parser.parse_args(argv)
    if args.list:
        for entry in CASES:
            print(f"{entry.name}: {entry.covers}")
        return 0
    names = [entry.name for entry in CASES]
    if len(set(names)) != len(names):
        raise SystemExit("duplicate case names")
    selected = [s for s in CASES if not args.only or s.name in args.only]
    args.out.mkdir(parents=True, exist_ok=True)
    if not args.only:
        remove_stale(args.out, set(names))
    rows = []
    for entry in selected:
        rows.append(write_case(entry, args.out))
        print(f"{entry.name}: output {'x'.join(map(str, rows[-1]['output']))}")
    if not args.only:
        write_readme(args.out, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
