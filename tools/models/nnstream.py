"""Writer for the engine's binary model stream (".cnn" files).

A network is described layer by layer with a `ModelStream`; every method that
adds a layer returns that layer's index, which later layers take as input:

    m = ModelStream()                       # version 5, strideOffsetMode 1
    x = m.input(3)
    y = m.conv2d(x, w, b, activation="relu")      # w: torch layout (O, I, kh, kw)
    y = m.max_pool(y)
    y = m.upsample_bilinear(y)
    y = m.concat(y, x)
    y = m.conv2d(y, w2, b2)
    m.save("model.cnn")

Layers that come straight from PyTorch modules: `conv2d_from_torch`,
`dense_from_torch`, `group_norm_from_torch`.  To check an export, evaluate the
written bytes with the engine's arithmetic and compare with the torch model:

    import reference
    out = reference.run_model(reference.read_stream(m.to_bytes()), [x_hwc])[-1]

Stream layout (all values little-endian, 32-bit, no padding):

    version >= 1:  "NNin", version
    version >= 3:  timestamp, inputCount (discarded below version 4),
                   strideOffsetMode, reserved, reserved
                   layerCount               (version 0: layerCount is the first word)
    version >= 5:  n, n output-layer indices, "LAYS"
    per layer:     10 inbound layer indices (-1 unused), type code, payload

Weight layouts the engine expects (the `*_from_torch` helpers and the methods
below convert from PyTorch's layouts, so callers normally pass torch tensors):

    co2d  weights (out, row, col, in), in innermost; biases (out)
    depw  weights (row, col, channel); biases (channel)
    sepa  depthwise (row, col, in); pointwise (out, in); biases (out)
    dens  weights (in, out), out innermost; biases (out)
    grpn  scale (channel), shift (channel)

Arithmetic the engine applies, which an exported network must respect:

  * Tensors are interleaved: element (x, y, c) of W x H x C is at (x + y*W)*C + c.
  * Convolutions pad with zeros implicitly ("same"): taps run from -k//2 to
    (k-1)//2 around the centre (a 2x2 kernel covers -1..0).  The output size is
    floor(input / stride), not PyTorch's ceil for odd sizes.
  * Strided k x k convolutions (k > 1) centre at x*stride + off with
    off = stride//2 when strideOffsetMode is 0 and (stride - k%2)//2 when it is
    1.  strideOffsetMode 1 reproduces PyTorch's Conv2d(padding=k//2, stride=2);
    it is the default here.  1x1 convolutions sample x*stride with no offset.
  * Depthwise and separable convolutions ignore dilation (the writer refuses
    anything but 1).
  * Bilinear 2x upsampling equals PyTorch's interpolate(scale_factor=2,
    mode="bilinear", align_corners=False).
  * Group normalisation uses eps 0.01 (PyTorch's default is 1e-5).
  * Dense layers read the input's floats in interleaved order; after global
    pooling (1x1xC) that equals PyTorch's flatten.
  * Matrices for "mmul" are W=1 images: an (R x K) matrix is a 1 x R x K image.
  * "Clip" always clamps to [0, 1].
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import List, Optional, Sequence

import numpy as np

MAX_INBOUND = 10
LATEST_VERSION = 5
DEFAULT_TIMESTAMP = 20000
# The separable kernel keeps one private partial sum per input channel.
SEPARABLE_MAX_INPUT_CHANNELS = 1024

ACTIVATION_CODES = {
    "line": "line", "linear": "line", "identity": "line", None: "line",
    "relu": "relu",
    "elu": "elu ", "elu ": "elu ",
    "lre1": "lre1", "leaky0.1": "lre1",
    "lre3": "lre3", "leaky0.3": "lre3",
    "sigm": "sigm", "sigmoid": "sigm",
}
# Activations that also exist as stand-alone layers.
ACTIVATION_LAYER_CODES = ("relu", "elu ", "lre1", "lre3")


def fourcc(code: str) -> int:
    """The int32 whose little-endian bytes are the four ASCII characters of code."""
    raw = code.encode("ascii")
    if len(raw) != 4:
        raise ValueError(f"four-character code expected, got {code!r}")
    return struct.unpack("<i", raw)[0]


def activation_code(name) -> str:
    """Stream code of an activation given by name, code or torch module."""
    if name is not None and not isinstance(name, str):
        name = _torch_activation_name(name)
    try:
        return ACTIVATION_CODES[name]
    except KeyError:
        raise ValueError(f"unsupported activation {name!r}") from None


def _torch_activation_name(module) -> str:
    kind = type(module).__name__
    if kind == "Identity":
        return "line"
    if kind in ("ReLU", "Sigmoid"):
        return kind.lower()
    if kind == "ELU" and float(module.alpha) == 1.0:
        return "elu"
    if kind == "LeakyReLU":
        slope = float(module.negative_slope)
        for value, code in ((0.1, "lre1"), (0.3, "lre3")):
            if abs(slope - value) < 1e-7:
                return code
    raise ValueError(f"activation module {module!r} has no engine equivalent")


def as_float32(values) -> np.ndarray:
    """A float32 numpy copy of a numpy array, a list or a torch tensor."""
    if hasattr(values, "detach"):
        values = values.detach().cpu().numpy()
    return np.ascontiguousarray(np.asarray(values, dtype=np.float32))


@dataclass
class Layer:
    """One layer record: inbound indices, type code and its payload, in stream order."""
    code: str
    inbound: List[int]
    payload: List[tuple] = field(default_factory=list)  # ("i", ints) / ("f", floats)
    channels: Optional[int] = None  # output channels when the writer can tell

    def ints(self, *values):
        self.payload.append(("i", [int(v) for v in values]))

    def floats(self, values):
        self.payload.append(("f", as_float32(values).ravel()))


class ModelStream:
    """A network under construction; `to_bytes`/`save` write it as a model stream."""

    def __init__(self, version: int = LATEST_VERSION, stride_offset_mode: int = 1,
                 timestamp: int = DEFAULT_TIMESTAMP, reserved: int = 0):
        if not 0 <= version <= LATEST_VERSION:
            raise ValueError(f"stream version {version} is not 0..{LATEST_VERSION}")
        if version < 3 and stride_offset_mode:
            raise ValueError("streams below version 3 cannot store strideOffsetMode")
        self.version = version
        self.stride_offset_mode = int(stride_offset_mode)
        self.timestamp = int(timestamp)
        self.reserved = int(reserved)
        self.layers: List[Layer] = []
        self.output_layers: List[int] = []

    # ---- bookkeeping -------------------------------------------------------

    def _add(self, code: str, inputs: Sequence[int], channels: Optional[int] = None) -> Layer:
        inputs = [int(i) for i in inputs]
        if len(inputs) > MAX_INBOUND:
            raise ValueError(f"a layer takes at most {MAX_INBOUND} inputs")
        for i in inputs:
            if not 0 <= i < len(self.layers):
                raise ValueError(f"input {i} does not name an earlier layer")
        layer = Layer(code, inputs + [-1] * (MAX_INBOUND - len(inputs)), channels=channels)
        self.layers.append(layer)
        return layer

    def _index(self) -> int:
        return len(self.layers) - 1

    def channels_of(self, index: int) -> Optional[int]:
        """Output channels of a layer, where the writer can tell them."""
        if not 0 <= index < len(self.layers):
            raise ValueError(f"input {index} does not name an earlier layer")
        return self.layers[index].channels

    def mark_output(self, index: int) -> None:
        """Keep this layer's output buffer intact to the end of a run (version 5)."""
        if self.version < 5:
            raise ValueError("output layers are stored from version 5 on")
        self.output_layers.append(int(index))

    # ---- inputs ------------------------------------------------------------

    def input(self, channels: int = 3) -> int:
        """A model input.  Channels 0 means: whatever the caller allocates with."""
        if self.version < 4:
            if channels != 3:
                raise ValueError("streams below version 4 have 3-channel inputs only")
            if any(layer.code == "inpu" for layer in self.layers):
                raise ValueError("streams below version 4 have one input only")
        layer = self._add("inpu", [], channels or None)
        if self.version >= 4:
            layer.ints(channels)
        return self._index()

    # ---- convolutions ------------------------------------------------------

    def _conv_header(self, layer: Layer, stride: int, dilation: int, activation) -> None:
        layer.ints(stride, stride)
        if self.version >= 2:
            layer.ints(dilation, dilation)
        elif dilation != 1:
            raise ValueError("streams below version 2 cannot store dilation")
        layer.ints(fourcc(activation_code(activation)))

    def conv2d(self, x: int, weight, bias=None, stride: int = 1, dilation: int = 1,
               activation="line") -> int:
        """Convolution; weight in torch layout (out, in, kh, kw), bias (out)."""
        w = as_float32(weight)
        if w.ndim != 4:
            raise ValueError("conv2d weight must be (out, in, kh, kw)")
        out_ch, in_ch, kh, kw = w.shape
        b = np.zeros(out_ch, np.float32) if bias is None else as_float32(bias)
        _check_len(b, out_ch, "conv2d bias")
        layer = self._add("co2d", [x], out_ch)
        self._conv_header(layer, stride, dilation, activation)
        layer.ints(out_ch, kw, kh, in_ch)
        layer.floats(w.transpose(0, 2, 3, 1))
        layer.ints(out_ch)
        layer.floats(b)
        return self._index()

    def depthwise(self, x: int, weight, bias=None, stride: int = 1, activation="line") -> int:
        """Depthwise convolution (multiplier 1); weight (C, 1, kh, kw) as torch
        stores Conv2d(groups=C), bias (C)."""
        w = as_float32(weight)
        if w.ndim != 4 or w.shape[1] != 1:
            raise ValueError("depthwise weight must be (C, 1, kh, kw)")
        ch, _, kh, kw = w.shape
        b = np.zeros(ch, np.float32) if bias is None else as_float32(bias)
        _check_len(b, ch, "depthwise bias")
        layer = self._add("depw", [x], ch)
        self._conv_header(layer, stride, 1, activation)
        # outputChannels 1 in the stream: the reader multiplies the weight count
        # by it, and then takes the channel count from the input.
        layer.ints(1, kw, kh, ch)
        layer.floats(w[:, 0].transpose(1, 2, 0))
        layer.ints(ch)
        layer.floats(b)
        return self._index()

    def separable(self, x: int, depthwise_weight, pointwise_weight, bias=None,
                  stride: int = 1, activation="line") -> int:
        """Depthwise (C, 1, kh, kw) then pointwise (out, C, 1, 1) or (out, C);
        one bias per output channel."""
        dw = as_float32(depthwise_weight)
        pw = as_float32(pointwise_weight)
        if dw.ndim != 4 or dw.shape[1] != 1:
            raise ValueError("separable depthwise weight must be (C, 1, kh, kw)")
        ch, _, kh, kw = dw.shape
        pw = pw.reshape(pw.shape[0], -1)
        out_ch = pw.shape[0]
        if pw.shape[1] != ch:
            raise ValueError("separable pointwise weight must be (out, C)")
        if ch > SEPARABLE_MAX_INPUT_CHANNELS:
            raise ValueError(f"separable layers take at most {SEPARABLE_MAX_INPUT_CHANNELS} channels")
        b = np.zeros(out_ch, np.float32) if bias is None else as_float32(bias)
        _check_len(b, out_ch, "separable bias")
        layer = self._add("sepa", [x], out_ch)
        self._conv_header(layer, stride, 1, activation)
        layer.ints(out_ch, kw, kh, ch)
        layer.floats(dw[:, 0].transpose(1, 2, 0))
        layer.ints(out_ch, ch, ch, ch)
        layer.floats(pw)
        layer.ints(out_ch)
        layer.floats(b)
        return self._index()

    def conv2d_from_torch(self, x: int, conv, activation="line", check_padding: bool = True) -> int:
        """Adds a torch.nn.Conv2d (plain, depthwise with groups == channels).

        With check_padding the module's padding must be the engine's implicit
        one, so that the exported layer computes what the module computed."""
        kh, kw = conv.kernel_size
        stride, dilation = _square(conv.stride, "stride"), _square(conv.dilation, "dilation")
        if check_padding:
            self._check_torch_padding(conv, kh, kw, stride, dilation)
        bias = conv.bias if conv.bias is not None else None
        if conv.groups == 1:
            return self.conv2d(x, conv.weight, bias, stride, dilation, activation)
        if conv.groups == conv.in_channels == conv.out_channels:
            if dilation != 1:
                raise ValueError("depthwise layers do not support dilation")
            return self.depthwise(x, conv.weight, bias, stride, activation)
        raise ValueError("grouped convolutions other than depthwise are not supported")

    def _check_torch_padding(self, conv, kh, kw, stride, dilation) -> None:
        pad = conv.padding
        if isinstance(pad, str):
            ok = pad == "same" and stride == 1 and kh % 2 == 1 and kw % 2 == 1
        else:
            ok = all(_padding_matches(k, p, stride, dilation, self.stride_offset_mode)
                     for k, p in ((kh, pad[0]), (kw, pad[1])))
        if not ok or conv.padding_mode != "zeros":
            raise ValueError(
                f"Conv2d(kernel={conv.kernel_size}, stride={conv.stride}, padding={conv.padding}) "
                "does not match the engine's implicit zero padding")

    # ---- pooling and resampling -------------------------------------------

    def max_pool(self, x: int) -> int:
        """2x2 max pooling with stride 2."""
        layer = self._add("maxp", [x], self.channels_of(x))
        layer.ints(2, 2, 2, 2)
        return self._index()

    def avg_pool(self, x: int, stride: int = 2, pool_size: int = 2) -> int:
        """Average pooling: stride 2 is a 2x2 mean; stride 1 with pool 3 a clamped
        3x3 mean; stride 1 otherwise a clamped 2x2 mean at (x..x+1, y..y+1)."""
        if stride not in (1, 2):
            raise ValueError("average pooling supports strides 1 and 2")
        layer = self._add("avg2", [x], self.channels_of(x))
        layer.ints(stride, stride, pool_size, pool_size)
        return self._index()

    def upsample_nearest(self, x: int) -> int:
        self._add("ups2", [x], self.channels_of(x))
        return self._index()

    def upsample_bilinear(self, x: int) -> int:
        self._add("upsb", [x], self.channels_of(x))
        return self._index()

    def global_avg_pool(self, x: int) -> int:
        self._add("gavg", [x], self.channels_of(x))
        return self._index()

    def global_max_pool(self, x: int) -> int:
        self._add("gmax", [x], self.channels_of(x))
        return self._index()

    # ---- element-wise ------------------------------------------------------

    def activation(self, x: int, kind) -> int:
        """Stand-alone activation: relu, elu, leaky0.1 (lre1) or leaky0.3 (lre3)."""
        code = activation_code(kind)
        if code not in ACTIVATION_LAYER_CODES:
            raise ValueError(f"{kind!r} is not available as a layer")
        self._add(code, [x], self.channels_of(x))
        return self._index()

    def add(self, a: int, b: int) -> int:
        self._add("add ", [a, b], self.channels_of(a))
        return self._index()

    def subtract(self, a: int, b: int) -> int:
        self._add("subt", [a, b], self.channels_of(a))
        return self._index()

    def multiply(self, a: int, b: int) -> int:
        """a * b; b's channels repeat across a's (a one-channel b scales every channel)."""
        self._add("mult", [a, b], self.channels_of(a))
        return self._index()

    def concat(self, *inputs: int) -> int:
        if len(inputs) not in (2, 3):
            raise ValueError("concatenation takes two or three inputs")
        counts = [self.channels_of(i) for i in inputs]
        self._add("conc", inputs, None if None in counts else sum(counts))
        return self._index()

    def split(self, x: int, start: int, end: int) -> int:
        """Channels start..end-1 of x."""
        if not 0 <= start < end:
            raise ValueError("split needs 0 <= start < end")
        layer = self._add("spli", [x], end - start)
        layer.ints(start, end)
        return self._index()

    def linear(self, x: int, a: float, b: float) -> int:
        """a * x + b."""
        layer = self._add("AX+B", [x], self.channels_of(x))
        layer.floats([a, b])
        return self._index()

    def clip(self, x: int, low: float = 0.0, high: float = 1.0) -> int:
        """Clamp to [0, 1]; the engine clamps to that range whatever is stored."""
        if (low, high) != (0.0, 1.0):
            raise ValueError("the engine's clip layer clamps to [0, 1] only")
        layer = self._add("Clip", [x], self.channels_of(x))
        layer.floats([low, high])
        return self._index()

    # ---- shape -------------------------------------------------------------

    def reshape(self, x: int, width: int, height: int, channels: int) -> int:
        """Same element order, new shape."""
        layer = self._add("Resh", [x], channels)
        layer.ints(width, height, channels)
        return self._index()

    def tile(self, x: int, width: int, height: int, channels: int) -> int:
        """Repeat x periodically to width x height x channels."""
        layer = self._add("Tile", [x], channels)
        layer.ints(width, height, channels)
        return self._index()

    def transpose(self, x: int, mode: int) -> int:
        """mode 1 swaps width and channels; mode 1000 swaps height and channels."""
        if mode not in (1, 1000):
            raise ValueError("transpose mode must be 1 or 1000")
        layer = self._add("tpos", [x])
        layer.ints(mode)
        return self._index()

    # ---- linear algebra ----------------------------------------------------

    def matmul(self, a: int, b: int) -> int:
        """(1 x R x K) times (1 x K x N) gives 1 x R x N."""
        self._add("mmul", [a, b], self.channels_of(b))
        return self._index()

    def dense(self, x: int, weight, bias=None, activation="line") -> int:
        """Fully connected; weight in torch layout (out, in), bias (out)."""
        w = as_float32(weight)
        if w.ndim != 2:
            raise ValueError("dense weight must be (out, in)")
        out_ch, in_ch = w.shape
        b = np.zeros(out_ch, np.float32) if bias is None else as_float32(bias)
        _check_len(b, out_ch, "dense bias")
        layer = self._add("dens", [x], out_ch)
        layer.ints(fourcc(activation_code(activation)), in_ch, out_ch)
        layer.floats(w.T)
        layer.ints(out_ch)
        layer.floats(b)
        return self._index()

    def dense_from_torch(self, x: int, linear, activation="line") -> int:
        return self.dense(x, linear.weight, linear.bias, activation)

    def group_norm(self, x: int, groups: int, scale, shift) -> int:
        """Group normalisation with eps 0.01; scale and shift per channel."""
        s, t = as_float32(scale).ravel(), as_float32(shift).ravel()
        _check_len(t, len(s), "group norm shift")
        if groups < 1 or len(s) % groups:
            raise ValueError("group count must divide the channel count")
        layer = self._add("grpn", [x], len(s))
        layer.ints(groups, len(s))
        layer.floats(s)
        layer.ints(len(t))
        layer.floats(t)
        return self._index()

    def group_norm_from_torch(self, x: int, norm) -> int:
        """torch.nn.GroupNorm; the engine's eps is 0.01 whatever the module says."""
        ch = norm.num_channels
        scale = norm.weight if norm.affine else np.ones(ch, np.float32)
        shift = norm.bias if norm.affine else np.zeros(ch, np.float32)
        return self.group_norm(x, norm.num_groups, scale, shift)

    # ---- image filters -----------------------------------------------------

    def saturation(self, x: int, factor: float) -> int:
        layer = self._add("Satu", [x], self.channels_of(x))
        layer.floats([factor])
        return self._index()

    def mix2(self, a: int, b: int, mix1: float, mix2: float, bias: float,
             limit2: float, gate2: float, black_mask: float) -> int:
        layer = self._add("Mix2", [a, b], self.channels_of(a))
        layer.floats([mix1, mix2, bias, limit2, gate2, black_mask])
        return self._index()

    def iir_blur(self, x: int, strength: float, threshold: float) -> int:
        layer = self._add("IIRB", [x], self.channels_of(x))
        layer.floats([strength, threshold])
        return self._index()

    def switchable_blur(self, x: int, strength: float, threshold: float) -> int:
        layer = self._add("SBlu", [x], self.channels_of(x))
        layer.floats([strength, threshold])
        return self._index()

    def switchable_nonlinear(self, x: int, mode: int = 0) -> int:
        layer = self._add("SwNL", [x], self.channels_of(x))
        layer.ints(mode)
        return self._index()

    # ---- output ------------------------------------------------------------

    def to_bytes(self) -> bytes:
        if not self.layers:
            raise ValueError("a model needs at least one layer")
        out = bytearray()
        inputs = sum(1 for layer in self.layers if layer.code == "inpu")
        if self.version >= 1:
            out += struct.pack("<ii", fourcc("NNin"), self.version)
        if self.version >= 3:
            out += struct.pack("<5i", self.timestamp, max(inputs, 1) if self.version >= 4 else 0,
                               self.stride_offset_mode, self.reserved, self.reserved)
        out += struct.pack("<i", len(self.layers))
        if self.version >= 5:
            out += struct.pack(f"<i{len(self.output_layers)}i", len(self.output_layers),
                               *self.output_layers)
            out += struct.pack("<i", fourcc("LAYS"))
        for layer in self.layers:
            out += struct.pack("<11i", *layer.inbound, fourcc(layer.code))
            for kind, values in layer.payload:
                if kind == "i":
                    out += struct.pack(f"<{len(values)}i", *values)
                else:
                    out += values.astype("<f4").tobytes()
        return bytes(out)

    def save(self, path) -> None:
        with open(path, "wb") as f:
            f.write(self.to_bytes())


def _check_len(values: np.ndarray, expected: int, what: str) -> None:
    if values.size != expected:
        raise ValueError(f"{what} has {values.size} values, expected {expected}")


def _square(pair, what: str) -> int:
    if pair[0] != pair[1]:
        raise ValueError(f"the engine needs the same {what} on both axes")
    return int(pair[0])


def _padding_matches(k: int, pad: int, stride: int, dilation: int, offset_mode: int) -> bool:
    """Whether torch's symmetric padding samples what the engine samples.

    The engine's first tap for output 0 is at off - dilation*(k//2) (off as in
    the module docstring); torch's is at -pad."""
    if k == 1:
        return pad == 0
    if stride == 1:
        off = 0
    elif offset_mode:
        off = (stride - k % 2) // 2
    else:
        off = stride // 2
    return off - dilation * (k // 2) == -pad and (k % 2 == 1 or stride > 1)
