"""Reference evaluation of model streams, in float64 numpy.

`read_stream` parses a stream the way the engine's loader does; `run_model`
computes every layer's output with the engine's arithmetic (sizes, clipped
convolution taps, the centre offset of strided kernels, the 9/3/3/1 bilinear
weights, group normalisation with eps 0.01, ...).  Tensors are numpy arrays
of shape (H, W, C), which is the engine's interleaved order (x + y*W)*C + c.

Every kind of the learned-network catalogue has a reference, and so has every
image filter: "Satu", "Mix2", "SwNL", the recursive blur "IIRB" and the
switchable "SBlu" in each of its modes (the mode is `switch_mode`, set by the
caller at run time, not stored in the stream).

The reference is written for clarity: plain loops over filter taps and
channels, vectorised over pixels.  It computes what the engine must compute,
including where that differs from PyTorch (output sizes floor(in/stride),
clamped 3x3 average pooling, the fixed [0, 1] clip, ...).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Dict, List, Sequence

import numpy as np

GROUP_NORM_EPS = 0.01


def code_text(value: int) -> str:
    return struct.pack("<i", value).split(b"\0")[0].decode("latin-1")


class TruncatedStream(ValueError):
    pass


class _Reader:
    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def ints(self, n: int) -> List[int]:
        return list(struct.unpack("<%di" % n, self._take(4 * n)))

    def int(self) -> int:
        return self.ints(1)[0]

    def code(self) -> str:
        return code_text(self.int())

    def floats(self, n: int) -> np.ndarray:
        if n < 0:
            raise ValueError(f"negative count {n}")
        return np.frombuffer(self._take(4 * n), dtype="<f4").astype(np.float64)

    def _take(self, size: int) -> bytes:
        if self.pos + size > len(self.data):
            raise TruncatedStream("Model truncated")
        chunk = self.data[self.pos:self.pos + size]
        self.pos += size
        return chunk


@dataclass
class LayerRecord:
    type: str
    inbound: List[int]
    activation: str = "line"
    strides: int = 1
    dilation: int = 1
    filter_width: int = 0
    filter_height: int = 0
    input_channels: int = 0
    output_channels: int = 0
    pool_size: int = 0
    group_num: int = 0
    start_channel: int = 0
    target: tuple = (1, 1, 1)
    transpose_mode: int = 0
    switch_mode: int = 0
    parameters: List[float] = field(default_factory=list)
    weights: np.ndarray = field(default_factory=lambda: np.zeros(0))
    pointwise_weights: np.ndarray = field(default_factory=lambda: np.zeros(0))
    biases: np.ndarray = field(default_factory=lambda: np.zeros(0))

    @property
    def inputs(self) -> List[int]:
        return [i for i in self.inbound if i >= 0]


@dataclass
class Model:
    version: int
    timestamp: int
    input_count: int
    stride_offset_mode: int
    output_layers: List[int]
    layers: List[LayerRecord]
    size: int = 0  # bytes the layers used; anything after them is ignored


def read_stream(data: bytes) -> Model:
    """Parses a model stream; raises ValueError for anything the engine rejects.

    Unlike the engine's historic loader, any short read is an error."""
    r = _Reader(data)
    lead = r.int()
    version, timestamp, input_count, offset_mode = 0, 0, 1, 0
    if lead == struct.unpack("<i", b"NNin")[0]:
        version = r.int()
        timestamp = 19000
        if version >= 3:
            timestamp, count, offset_mode, _, _ = r.ints(5)
            if version >= 4:
                input_count = count
        layer_count = r.int()
    else:
        layer_count = lead
    if layer_count <= 0:
        raise ValueError("No layers in model")
    output_layers: List[int] = []
    if version >= 5:
        output_layers = r.ints(r.int())
        if r.code() != "LAYS":
            raise ValueError("File corrupt")
    layers: List[LayerRecord] = []
    for i in range(layer_count):
        inbound = r.ints(10)
        layer = LayerRecord(r.code(), inbound)
        _read_payload(r, layer, version)
        if any(n < -1 or n > i for n in inbound):
            raise ValueError(f"load layer error, model corrupt:{i}")
        layers.append(layer)
    return Model(version, timestamp, input_count, offset_mode, output_layers, layers, r.pos)


def _read_payload(r: _Reader, L: LayerRecord, version: int) -> None:
    t = L.type
    if t == "inpu":
        L.output_channels = L.input_channels = r.int() if version >= 4 else 3
    elif t in ("co2d", "depw", "sepa"):
        _read_convolution(r, L, version)
    elif t in ("maxp", "avg2"):
        _, L.strides, _, L.pool_size = r.ints(4)
    elif t == "grpn":
        L.group_num = r.int()
        L.input_channels = r.int()
        L.weights = r.floats(L.input_channels)
        L.output_channels = r.int()
        L.biases = r.floats(L.output_channels)
    elif t == "spli":
        L.start_channel, end = r.ints(2)
        L.output_channels = end - L.start_channel
    elif t == "Satu":
        L.parameters = list(r.floats(1))
    elif t == "AX+B":
        L.parameters = list(r.floats(2))
    elif t == "Mix2":
        L.parameters = list(r.floats(6))
    elif t in ("IIRB", "SBlu"):
        L.parameters = list(r.floats(2))
    elif t == "dens":
        L.activation = r.code()
        L.input_channels, L.output_channels = r.ints(2)
        L.weights = r.floats(L.input_channels * L.output_channels)
        L.biases = r.floats(r.int())
    elif t in ("Resh", "Tile"):
        L.target = tuple(r.ints(3))
    elif t == "tpos":
        L.transpose_mode = r.int()
    elif t == "Clip":
        L.parameters = list(r.floats(2))
    elif t == "SwNL":
        L.switch_mode = r.int()
    elif t in ("relu", "elu ", "lre1", "lre3", "ups2", "upsb", "mult", "add ", "subt",
               "conc", "gavg", "gmax", "mmul"):
        pass
    else:
        raise ValueError(f"NNLayer creation error: {t}")


def _read_convolution(r: _Reader, L: LayerRecord, version: int) -> None:
    _, L.strides = r.ints(2)
    if version >= 2:
        _, L.dilation = r.ints(2)
    L.activation = r.code()
    L.output_channels, L.filter_width, L.filter_height, L.input_channels = r.ints(4)
    count = L.filter_height * L.filter_width * L.input_channels
    if L.type != "sepa":
        count *= L.output_channels
    L.weights = r.floats(count)
    if L.type == "depw":
        L.output_channels = L.input_channels
    if L.type == "sepa":
        L.output_channels = r.int()
        L.input_channels = r.ints(3)[-1]
        L.pointwise_weights = r.floats(L.input_channels * L.output_channels)
    L.biases = r.floats(r.int())


# ---------------------------------------------------------------------------
# Evaluation

ACTIVATIONS = {
    "line": lambda v: v,
    "relu": lambda v: np.where(v >= 0, v, 0.0),
    "elu ": lambda v: np.where(v >= 0, v, np.expm1(np.minimum(v, 0.0))),
    "lre1": lambda v: np.where(v >= 0, v, 0.1 * v),
    "lre3": lambda v: np.where(v >= 0, v, 0.3 * v),
    "sigm": lambda v: 1.0 / (1.0 + np.exp(-v)),
}


def run_model(model: Model, inputs: Sequence[np.ndarray]) -> List[np.ndarray]:
    """Outputs of every layer, each (H, W, C) float64.  `inputs` feed the
    "inpu" layers in stream order."""
    outputs: List[np.ndarray] = []
    feed = iter(inputs)
    for index, layer in enumerate(model.layers):
        if layer.type == "inpu":
            x = np.asarray(next(feed), dtype=np.float64)
            if layer.output_channels and x.shape[2] != layer.output_channels:
                raise ValueError(f"input {index} has {x.shape[2]} channels, "
                                 f"the stream says {layer.output_channels}")
            outputs.append(x)
            continue
        args = [outputs[i] for i in layer.inputs]
        outputs.append(evaluate_layer(layer, args, model.stride_offset_mode))
        if layer.type == "SBlu" and layer.switch_mode == 3:
            # The luma median converts its input to YUV in place and back;
            # later readers of that input see the round trip.
            outputs[layer.inputs[0]] = yuv_to_rgb(rgb_to_yuv(args[0]))
    return outputs


def evaluate_layer(L: LayerRecord, args: List[np.ndarray], offset_mode: int) -> np.ndarray:
    t = L.type
    x = args[0]
    if t == "co2d":
        if L.filter_width == 1 and L.filter_height == 1:
            return pointwise_conv(x, L)
        return conv2d(x, L, offset_mode)
    if t == "depw":
        return depthwise_conv(x, L, offset_mode)
    if t == "sepa":
        return separable_conv(x, L, offset_mode)
    if t == "maxp":
        return pool2x2(x, L.strides, np.maximum)
    if t == "avg2":
        return average_pool(x, L.strides, L.pool_size)
    if t == "ups2":
        return upsample_nearest(x, L.strides)
    if t == "upsb":
        return upsample_bilinear(x, L.strides)
    if t in ("relu", "elu ", "lre1", "lre3"):
        return ACTIVATIONS[t](x)
    if t == "Clip":
        return np.clip(x, 0.0, 1.0)
    if t == "AX+B":
        return L.parameters[0] * x + L.parameters[1]
    if t == "add ":
        return x + args[1]
    if t == "subt":
        return x - args[1]
    if t == "mult":
        return multiply(x, args[1])
    if t == "conc":
        return np.concatenate(args, axis=2)
    if t == "spli":
        return x[:, :, L.start_channel:L.start_channel + L.output_channels]
    if t == "Tile":
        return tile(x, L.target)
    if t == "Resh":
        return reshape(x, L.target)
    if t == "tpos":
        return transpose(x, L.transpose_mode)
    if t == "mmul":
        return matmul(x, args[1])
    if t == "dens":
        return dense(x, L)
    if t == "gavg":
        return x.sum(axis=(0, 1), keepdims=True) / x.shape[0] / x.shape[1]
    if t == "gmax":
        return x.max(axis=(0, 1), keepdims=True)
    if t == "grpn":
        return group_norm(x, L)
    if t == "Satu":
        return saturation(x, L.parameters[0])
    if t == "SwNL":
        return switchable_nonlinear(x, L.switch_mode)
    if t == "Mix2":
        return mix2(x, args[1], *L.parameters)
    if t == "IIRB":
        return recursive_blur(x, *L.parameters[:2])
    if t == "SBlu":
        return switchable_blur(x, L.switch_mode, *L.parameters[:2])
    raise NotImplementedError(f"no reference for layer {t!r}")


def stride_offset(stride: int, filter_width: int, offset_mode: int) -> int:
    if offset_mode:
        return (stride - filter_width % 2) // 2
    return stride // 2


def _taps(size: int) -> range:
    return range(-(size // 2), (size - 1) // 2 + 1)


def _shifted(x: np.ndarray, cy: np.ndarray, cx: np.ndarray) -> np.ndarray:
    """x sampled at rows cy and columns cx, zero where they fall outside."""
    H, W = x.shape[:2]
    vy, vx = (cy >= 0) & (cy < H), (cx >= 0) & (cx < W)
    out = x[np.clip(cy, 0, H - 1)][:, np.clip(cx, 0, W - 1)]
    return out * (vy[:, None, None] & vx[None, :, None])


def _centres(size_in: int, stride: int, off: int) -> np.ndarray:
    return np.arange(size_in // stride) * stride + off


def conv2d(x: np.ndarray, L: LayerRecord, offset_mode: int) -> np.ndarray:
    """General convolution: skipped (zero) taps outside the source."""
    fh, fw, cin, cout = L.filter_height, L.filter_width, L.input_channels, L.output_channels
    s, d = L.strides, L.dilation
    off = stride_offset(s, fw, offset_mode)
    cy, cx = _centres(x.shape[0], s, off), _centres(x.shape[1], s, off)
    w = L.weights.reshape(cout, fh, fw, cin)
    acc = np.zeros((len(cy), len(cx), cout))
    for dy in _taps(fh):
        for dx in _taps(fw):
            patch = _shifted(x, cy + dy * d, cx + dx * d)
            acc += patch @ w[:, dy + fh // 2, dx + fw // 2, :].T
    return ACTIVATIONS[L.activation](acc + L.biases[:cout])


def pointwise_conv(x: np.ndarray, L: LayerRecord) -> np.ndarray:
    s, cin, cout = L.strides, L.input_channels, L.output_channels
    H, W = x.shape[0] // s, x.shape[1] // s
    src = x[:H * s:s, :W * s:s]
    w = L.weights.reshape(cout, cin)
    return ACTIVATIONS[L.activation](src @ w.T + L.biases[:cout])


def depthwise_conv(x: np.ndarray, L: LayerRecord, offset_mode: int) -> np.ndarray:
    """Per-channel filter at the source centre of each output pixel (no dilation)."""
    fh, fw, ch = L.filter_height, L.filter_width, x.shape[2]
    off = stride_offset(L.strides, fw, offset_mode)
    cy, cx = _centres(x.shape[0], L.strides, off), _centres(x.shape[1], L.strides, off)
    w = L.weights[:fh * fw * ch].reshape(fh, fw, ch)
    acc = np.zeros((len(cy), len(cx), ch))
    for dy in _taps(fh):
        for dx in _taps(fw):
            acc += _shifted(x, cy + dy, cx + dx) * w[dy + fh // 2, dx + fw // 2]
    return ACTIVATIONS[L.activation](acc + L.biases[:ch])


def separable_conv(x: np.ndarray, L: LayerRecord, offset_mode: int) -> np.ndarray:
    fh, fw, cin, cout = L.filter_height, L.filter_width, L.input_channels, L.output_channels
    off = stride_offset(L.strides, fw, offset_mode)
    cy, cx = _centres(x.shape[0], L.strides, off), _centres(x.shape[1], L.strides, off)
    w = L.weights.reshape(fh, fw, cin)
    sums = np.zeros((len(cy), len(cx), cin))
    for dy in _taps(fh):
        for dx in _taps(fw):
            sums += _shifted(x, cy + dy, cx + dx) * w[dy + fh // 2, dx + fw // 2]
    pw = L.pointwise_weights.reshape(cout, cin)
    return ACTIVATIONS[L.activation](sums @ pw.T + L.biases[:cout])


def pool2x2(x: np.ndarray, stride: int, combine) -> np.ndarray:
    """The four pixels (2x..2x+1, 2y..2y+1); the output is (H/stride, W/stride)."""
    H, W = x.shape[0] // stride, x.shape[1] // stride
    quad = [x[oy:oy + 2 * H:2, ox:ox + 2 * W:2] for oy in (0, 1) for ox in (0, 1)]
    if combine is np.maximum:
        return np.maximum(np.maximum(quad[0], quad[1]), np.maximum(quad[2], quad[3]))
    return (quad[0] + quad[1] + quad[2] + quad[3]) * 0.25


def average_pool(x: np.ndarray, stride: int, pool_size: int) -> np.ndarray:
    if stride == 2:
        return pool2x2(x, 2, None)
    if stride != 1:
        raise ValueError("average pooling has no kernel for stride %d" % stride)
    H, W = x.shape[:2]
    ys, xs = np.arange(H), np.arange(W)
    if pool_size == 3:
        acc = sum(x[np.clip(ys + dy, 0, H - 1)][:, np.clip(xs + dx, 0, W - 1)]
                  for dy in (-1, 0, 1) for dx in (-1, 0, 1))
        return acc * 0.11111111
    acc = sum(x[np.minimum(ys + dy, H - 1)][:, np.minimum(xs + dx, W - 1)]
              for dy in (0, 1) for dx in (0, 1))
    return acc * 0.25


def upsample_nearest(x: np.ndarray, stride: int = 1) -> np.ndarray:
    H, W = x.shape[0] // stride, x.shape[1] // stride
    ys, xs = np.arange(2 * H) // 2, np.arange(2 * W) // 2
    return x[ys][:, xs]


def _bilinear_indices(out_size: int, src_size: int):
    o = np.arange(out_size)
    near = o // 2
    # (o-1)/2 truncates towards zero in the kernel: o = 0 gives 0.
    far = np.trunc((o - 1) / 2).astype(int) + o % 2
    return np.clip(near, 0, src_size - 1), np.clip(far, 0, src_size - 1)


def upsample_bilinear(x: np.ndarray, stride: int = 1) -> np.ndarray:
    H, W = x.shape[0] // stride, x.shape[1] // stride
    y1, y2 = _bilinear_indices(2 * H, H)
    x1, x2 = _bilinear_indices(2 * W, W)
    return (9 * x[y1][:, x1] + 3 * x[y2][:, x1] + 3 * x[y1][:, x2] + x[y2][:, x2]) * 0.0625


def multiply(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """b's channels repeat across a's: channel i uses b's channel i mod C2."""
    reps = -(-a.shape[2] // b.shape[2])
    return a * np.tile(b, (1, 1, reps))[:, :, :a.shape[2]]


def tile(x: np.ndarray, target: tuple) -> np.ndarray:
    w, h, c = target
    H, W, C = x.shape
    return x[np.arange(h) % H][:, np.arange(w) % W][:, :, np.arange(c) % C]


def reshape(x: np.ndarray, target: tuple) -> np.ndarray:
    w, h, c = target
    if w * h * c != x.size:
        raise ValueError(f"Reshape calculateOutputSize error: {w}x{h}x{c} != {x.size}")
    return x.reshape(h, w, c)


def transpose(x: np.ndarray, mode: int) -> np.ndarray:
    """Mode 1: output (x, y, c) = input (c, y, x), size (C, H, W) as (width,
    height, channels).  Mode 1000: output (x, y, c) = input (x, c, y), size
    (W, C, H)."""
    if mode == 1:
        return x.transpose(0, 2, 1)   # (H, W, C) -> (H, C, W)
    if mode == 1000:
        return x.transpose(2, 1, 0)   # (H, W, C) -> (C, W, H)
    raise ValueError("invalid transpose mode")


def matmul(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Row-major matrices held as W=1 images: (1 x R x K) @ (1 x K x N)."""
    if a.shape[2] != b.shape[0]:
        raise ValueError(f"calculateOutputSize matmul error: channels don't match: "
                         f"{a.shape[2]} != {b.shape[0]}")
    if a.shape[1] != 1 or b.shape[1] != 1:
        raise ValueError("matmul operands must be one pixel wide")
    return (a[:, 0, :] @ b[:, 0, :])[:, None, :]


def dense(x: np.ndarray, L: LayerRecord) -> np.ndarray:
    """The first inputChannels values of the input in interleaved order."""
    flat = x.reshape(-1)[:L.input_channels]
    w = L.weights.reshape(L.input_channels, L.output_channels)
    out = flat @ w + L.biases[:L.output_channels]
    return ACTIVATIONS[L.activation](out).reshape(1, 1, -1)


def group_norm(x: np.ndarray, L: LayerRecord) -> np.ndarray:
    """(x - group mean) * scale / sqrt(group variance + 0.01) + shift; group
    statistics are averages over the group's channels of per-channel means."""
    H, W, C = x.shape
    if L.group_num < 1 or C % L.group_num:
        raise ValueError(f"{L.group_num} groups do not divide {C} channels")
    per_group = C // L.group_num
    mean_c = x.mean(axis=(0, 1))
    group_mean = np.repeat(mean_c.reshape(-1, per_group).mean(axis=1), per_group)
    centred = x - group_mean
    sq_c = (centred ** 2).mean(axis=(0, 1))
    group_var = np.repeat(sq_c.reshape(-1, per_group).mean(axis=1), per_group)
    return centred * (L.weights[:C] / np.sqrt(group_var + GROUP_NORM_EPS)) + L.biases[:C]


def _rgb(x: np.ndarray, what: str) -> np.ndarray:
    if x.shape[2] != 3:
        raise ValueError(f"{what} works on 3-channel images")
    return x


def _luma4(rgb: np.ndarray) -> np.ndarray:
    return (rgb[..., 0] + 2 * rgb[..., 1] + rgb[..., 2])[..., None] / 4


def saturation(x: np.ndarray, factor: float) -> np.ndarray:
    grey = _rgb(x, "saturation").sum(axis=2, keepdims=True) * 0.3333333333333333
    return (x - grey) * factor + grey


LOG_FLOOR = 0.001
LOG_SPAN = np.log(1.001 / 0.001)


def switchable_nonlinear(x: np.ndarray, mode: int) -> np.ndarray:
    """0: identity; 1: log mapping of [0, 1] onto [0, 1]; 2: its inverse."""
    if mode == 0:
        return x.copy()
    if mode == 1:
        safe = np.maximum(x, 0.0)
        return np.where(x >= 0, (np.log(safe + LOG_FLOOR) - np.log(LOG_FLOOR)) / LOG_SPAN, 0.0)
    if mode == 2:
        return np.exp(x * LOG_SPAN + np.log(LOG_FLOOR)) - LOG_FLOOR
    raise ValueError("Switchable NonLin invalid settings")


def mix2(s: np.ndarray, d: np.ndarray, mix1: float, mix2_: float, bias: float,
         limit2: float, gate2: float, black_mask: float) -> np.ndarray:
    """Gated blend: s the first input, d the second (both RGB)."""
    s, d = _rgb(s, "Mix2"), _rgb(d, "Mix2")
    with np.errstate(divide="ignore", invalid="ignore"):
        m = _luma4(d)
        d = np.where(np.abs(m) > limit2, d * (limit2 / np.abs(m)), d)
        m = np.abs(_luma4(d))
        ramp = ((m - 2 * gate2) * 1.5 + 2 * gate2) / m
    factor = np.select([m < gate2, m < 2 * gate2], [0.5, ramp], 1.0)
    d = d * factor * mix2_
    e = s * mix1 + bias
    if black_mask > 0.000001:
        ms = _luma4(s)
        q = ms / black_mask
        mask = 1 - (1 - q) ** 2
        e = np.where(ms < black_mask, s * (1 - mask) + e * mask, e)
    return e + d


# ---- image filters of "IIRB" and "SBlu" ---------------------------------------

MEDIAN_LEVELS = 256
LARGE_FINITE = 1e30


def recursive_blur_coefficient(strength: float) -> float:
    """Feedback coefficient k, as the engine passes it (float32)."""
    with np.errstate(all="ignore"):
        k = np.tan((np.pi / 2) / (0.7 * float(strength) + 1.0))
    k = 0.9999 if not np.isfinite(k) or k < 0 else min(0.9999, k)
    return float(np.float32(k))


def _recursive_pass(v: np.ndarray, running: np.ndarray, k: float, threshold: float) -> np.ndarray:
    """One first-order pass along axis 0 of v (rows of v are steps); returns
    the filtered values and leaves the last running value in `running`."""
    out = np.empty_like(v)
    for i in range(v.shape[0]):
        b = v[i] * k + running * (1 - k)
        running[...] = np.minimum(np.maximum(b, v[i] - threshold), v[i] + threshold)
        out[i] = running
    return out


def _recursive_axis(x: np.ndarray, k: float, threshold: float) -> np.ndarray:
    """Forward then backward pass along axis 0; the running value starts at
    the first sample and carries over into the backward pass."""
    running = x[0].copy()
    forward = _recursive_pass(x, running, k, threshold)
    return _recursive_pass(forward[::-1], running, k, threshold)[::-1]


def recursive_blur(x: np.ndarray, strength: float, threshold: float) -> np.ndarray:
    """Rows first (along x), then columns (along y) on the row result."""
    k = recursive_blur_coefficient(strength)
    rows = _recursive_axis(np.swapaxes(x, 0, 1), k, threshold)
    return _recursive_axis(np.swapaxes(rows, 0, 1), k, threshold)


def bilateral(x: np.ndarray, strength: float, edge: float) -> np.ndarray:
    """Only the first three channels are filtered; the others are not written
    (zeros here)."""
    h, w, _ = x.shape
    sigma = float(np.float32(strength) * np.float32(0.5))
    with np.errstate(divide="ignore"):
        inv_edge = 0.01 / (float(edge) ** 2)
    inv_edge = min(inv_edge, LARGE_FINITE) if np.isfinite(inv_edge) else LARGE_FINITE
    out = np.zeros_like(x)
    halo = int(min(50.0, 2.0 * sigma))
    if halo < 1:
        out[..., :3] = x[..., :3]
        return out
    rgb = x[..., :3]
    total = np.zeros((h, w, 3))
    weights = np.zeros((h, w, 1))
    rows, cols = np.arange(h), np.arange(w)
    for dy in range(-halo, halo + 1):
        ny = np.clip(rows + dy, 0, h - 1)
        for dx in range(-halo, halo + 1):
            nx = np.clip(cols + dx, 0, w - 1)
            n = rgb[ny][:, nx]
            d = np.abs(n - rgb).sum(axis=2, keepdims=True)
            wt = np.exp(-(dx * dx + dy * dy) * 0.5 / sigma ** 2) * np.exp(-0.5 * d * d * inv_edge)
            total += n * wt
            weights += wt
    out[..., :3] = total / weights
    return out


def median_levels(v: np.ndarray) -> np.ndarray:
    """Levels 0..255 as the device computes them: float32 product, truncated."""
    scale = np.float32(MEDIAN_LEVELS - 1)
    product = np.asarray(v, dtype=np.float32) * scale
    return np.clip(product, np.float32(0), scale).astype(np.int64)


def _median_plane(levels: np.ndarray, radius: int, threshold: int) -> np.ndarray:
    """Median level per pixel of the (2r+1)^2 window (edges repeated), among
    the samples within `threshold` levels of the centre: the sample of rank
    size // 2 in increasing order.  Level 0 is a result like any other; an
    empty range (negative threshold) gives 0."""
    h, w = levels.shape
    out = np.zeros((h, w), dtype=np.int64)
    for y in range(h):
        rows = np.clip(np.arange(y - radius, y + radius + 1), 0, h - 1)
        for x in range(w):
            cols = np.clip(np.arange(x - radius, x + radius + 1), 0, w - 1)
            window = levels[rows][:, cols].ravel()
            c = levels[y, x]
            low, high = max(0, c - threshold), min(MEDIAN_LEVELS - 1, c + threshold)
            inside = np.sort(window[(window >= low) & (window <= high)])
            out[y, x] = inside[inside.size // 2] if inside.size else 0
    return out


def _median_settings(strength: float, threshold: float):
    radius = int(min(max(1.0, float(np.float32(strength))), 4096.0))
    t = float(np.float32(MEDIAN_LEVELS) * np.float32(threshold))
    return radius, int(min(max(t, -1.0), float(MEDIAN_LEVELS)))


def median(x: np.ndarray, strength: float, threshold: float) -> np.ndarray:
    radius, t = _median_settings(strength, threshold)
    out = np.empty_like(x)
    for c in range(x.shape[2]):
        out[..., c] = _median_plane(median_levels(x[..., c]), radius, t) / (MEDIAN_LEVELS - 1)
    return out


RGB_TO_YUV = np.array([[0.299, 0.587, 0.114],
                       [-0.147108, -0.28886, 0.435912],
                       [0.614777, -0.51499, -0.099978]])
# The back conversion is the exact inverse, so that round trips of a buffer
# do not drift.
YUV_TO_RGB = np.linalg.inv(RGB_TO_YUV)


def rgb_to_yuv(x: np.ndarray) -> np.ndarray:
    """In float32, as the device computes it: the luma's levels depend on it."""
    r, g, b = (x[..., i].astype(np.float32) for i in range(3))
    m = RGB_TO_YUV.astype(np.float32)
    out = x.copy()
    out[..., 0] = m[0, 0] * r + m[0, 1] * g + m[0, 2] * b
    out[..., 1] = m[1, 0] * r + m[1, 1] * g + m[1, 2] * b + np.float32(0.5)
    out[..., 2] = m[2, 0] * r + m[2, 1] * g + m[2, 2] * b + np.float32(0.5)
    return out


def yuv_to_rgb(x: np.ndarray) -> np.ndarray:
    yuv = np.stack([x[..., 0], x[..., 1] - 0.5, x[..., 2] - 0.5], axis=-1)
    out = x.copy()
    out[..., :3] = yuv @ YUV_TO_RGB.T
    return out


def median_luma(x: np.ndarray, strength: float, threshold: float) -> np.ndarray:
    """Median of the luma only; the chroma is carried through.  Channels past
    the third are not written (zeros here)."""
    radius, t = _median_settings(strength, threshold)
    yuv = rgb_to_yuv(x)
    out = np.zeros_like(x)
    out[..., 0] = _median_plane(median_levels(yuv[..., 0]), radius, t) / (MEDIAN_LEVELS - 1)
    out[..., 1:3] = yuv[..., 1:3]
    return yuv_to_rgb(out)


def switchable_blur(x: np.ndarray, mode: int, strength: float, threshold: float) -> np.ndarray:
    """0 (and any unknown mode): recursive blur; 1: bilateral; 2: median of
    every channel; 3: median of the luma."""
    if mode == 1:
        return bilateral(x, strength, threshold)
    if mode == 2:
        return median(x, strength, threshold)
    if mode == 3:
        return median_luma(x, strength, threshold)
    return recursive_blur(x, strength, threshold)


def output_shapes(model: Model, input_shapes: Sequence[tuple]) -> Dict[int, tuple]:
    """(H, W, C) of every layer for the given input shapes, by running zeros."""
    outs = run_model(model, [np.zeros(s) for s in input_shapes])
    return {i: o.shape for i, o in enumerate(outs)}
