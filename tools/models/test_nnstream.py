"""Self-check of the model-stream writer and the reference evaluation.

    cd tools/models && /usr/bin/python3 -m unittest test_nnstream

The byte layout is checked against streams assembled by hand, weight orders
against the documented index formulas, and the reference arithmetic against
PyTorch for every operation PyTorch has an exact counterpart of.
"""

import contextlib
import io
import struct
import sys
import unittest
from pathlib import Path

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, str(Path(__file__).resolve().parent))
import reference  # noqa: E402
from nnstream import ModelStream  # noqa: E402

FIXTURES = Path(__file__).resolve().parents[2] / "tests" / "fixtures" / "layers"


def i32(*values):
    return struct.pack(f"<{len(values)}i", *values)


def f32(*values):
    return struct.pack(f"<{len(values)}f", *values)


UNUSED9 = i32(*[-1] * 9)
UNUSED10 = i32(*[-1] * 10)


class ByteLayout(unittest.TestCase):
    def test_version5_stream_matches_hand_assembled_bytes(self):
        m = ModelStream(version=5, stride_offset_mode=1, timestamp=20000)
        x = m.input(3)
        y = m.conv2d(x, np.arange(1, 7, dtype=np.float32).reshape(2, 3, 1, 1), [0.5, -0.5],
                     activation="relu")
        m.mark_output(y)
        expected = (b"NNin" + i32(5, 20000, 1, 1, 0, 0, 2) + i32(1, 1) + b"LAYS"
                    + UNUSED10 + b"inpu" + i32(3)
                    + i32(0) + UNUSED9 + b"co2d" + i32(1, 1, 1, 1) + b"relu" + i32(2, 1, 1, 3)
                    + f32(1, 2, 3, 4, 5, 6) + i32(2) + f32(0.5, -0.5))
        self.assertEqual(m.to_bytes(), expected)

    def test_older_versions_leave_out_their_fields(self):
        def build(version):
            m = ModelStream(version=version, stride_offset_mode=0, timestamp=7)
            m.conv2d(m.input(3), np.ones((1, 3, 1, 1)), [0.0], stride=2)
            return m.to_bytes()

        layers = UNUSED10 + b"inpu"
        conv_tail = b"line" + i32(1, 1, 1, 3) + f32(1, 1, 1) + i32(1) + f32(0)
        conv_v0 = i32(0) + UNUSED9 + b"co2d" + i32(2, 2) + conv_tail
        conv_v2 = i32(0) + UNUSED9 + b"co2d" + i32(2, 2, 1, 1) + conv_tail
        table = [
            (0, i32(2) + layers + conv_v0),
            (1, b"NNin" + i32(1, 2) + layers + conv_v0),
            (2, b"NNin" + i32(2, 2) + layers + conv_v2),
            (3, b"NNin" + i32(3, 7, 0, 0, 0, 0, 2) + layers + conv_v2),
            (4, b"NNin" + i32(4, 7, 1, 0, 0, 0, 2) + layers + i32(3) + conv_v2),
            (5, b"NNin" + i32(5, 7, 1, 0, 0, 0, 2, 0) + b"LAYS" + layers + i32(3) + conv_v2),
        ]
        for version, expected in table:
            with self.subTest(version=version):
                self.assertEqual(build(version), expected)

    def test_payloads_of_the_parameter_layers(self):
        table = [
            (lambda m, x: m.max_pool(x), b"maxp" + i32(2, 2, 2, 2)),
            (lambda m, x: m.avg_pool(x, 1, 3), b"avg2" + i32(1, 1, 3, 3)),
            (lambda m, x: m.split(x, 1, 3), b"spli" + i32(1, 3)),
            (lambda m, x: m.linear(x, 2.0, -1.0), b"AX+B" + f32(2, -1)),
            (lambda m, x: m.clip(x), b"Clip" + f32(0, 1)),
            (lambda m, x: m.reshape(x, 2, 3, 4), b"Resh" + i32(2, 3, 4)),
            (lambda m, x: m.tile(x, 5, 6, 7), b"Tile" + i32(5, 6, 7)),
            (lambda m, x: m.transpose(x, 1000), b"tpos" + i32(1000)),
            (lambda m, x: m.group_norm(x, 2, [1, 2, 3, 4], [5, 6, 7, 8]),
             b"grpn" + i32(2, 4) + f32(1, 2, 3, 4) + i32(4) + f32(5, 6, 7, 8)),
            (lambda m, x: m.dense(x, [[1, 2], [3, 4], [5, 6]], [7, 8, 9], "sigmoid"),
             b"dens" + b"sigm" + i32(2, 3) + f32(1, 3, 5, 2, 4, 6) + i32(3) + f32(7, 8, 9)),
            (lambda m, x: m.depthwise(x, np.arange(4).reshape(4, 1, 1, 1), [1, 2, 3, 4]),
             b"depw" + i32(1, 1, 1, 1) + b"line" + i32(1, 1, 1, 4) + f32(0, 1, 2, 3) + i32(4) + f32(1, 2, 3, 4)),
            (lambda m, x: m.separable(x, np.ones((4, 1, 1, 1)), np.arange(8).reshape(2, 4), [1, 2], 2, "elu"),
             b"sepa" + i32(2, 2, 1, 1) + b"elu " + i32(2, 1, 1, 4) + f32(1, 1, 1, 1)
             + i32(2, 4, 4, 4) + f32(*range(8)) + i32(2) + f32(1, 2)),
            (lambda m, x: m.activation(x, "leaky0.3"), b"lre3"),
            (lambda m, x: m.saturation(x, 1.5), b"Satu" + f32(1.5)),
            (lambda m, x: m.iir_blur(x, 2, 0.25), b"IIRB" + f32(2, 0.25)),
            (lambda m, x: m.switchable_blur(x, 3, 0.5), b"SBlu" + f32(3, 0.5)),
            (lambda m, x: m.switchable_nonlinear(x, 2), b"SwNL" + i32(2)),
            (lambda m, x: m.upsample_bilinear(x), b"upsb"),
            (lambda m, x: m.global_max_pool(x), b"gmax"),
        ]
        for add_layer, record in table:
            with self.subTest(record[:4]):
                m = ModelStream()
                add_layer(m, m.input(4))
                self.assertTrue(m.to_bytes().endswith(i32(0) + UNUSED9 + record))

    def test_inbound_slots_of_multi_input_layers(self):
        m = ModelStream()
        a, b = m.input(3), m.input(3)
        m.mix2(a, b, 1, 2, 3, 4, 5, 6)
        m.concat(b, a, 2)
        stream = m.to_bytes()
        mix = i32(0, 1) + i32(*[-1] * 8) + b"Mix2" + f32(1, 2, 3, 4, 5, 6)
        conc = i32(1, 0, 2) + i32(*[-1] * 7) + b"conc"
        self.assertTrue(stream.endswith(mix + conc))


class WeightOrder(unittest.TestCase):
    """Each stored float lands where the documented index formula puts it."""

    def _floats(self, model, layer):
        return {name: getattr(reference.read_stream(model.to_bytes()).layers[layer], name)
                for name in ("weights", "pointwise_weights", "biases")}

    def test_convolution_is_output_row_column_input(self):
        O, C, KH, KW = 3, 5, 2, 3
        w = np.fromfunction(lambda o, c, r, k: o * 1000 + r * 100 + k * 10 + c, (O, C, KH, KW))
        m = ModelStream()
        m.conv2d(m.input(C), w, np.arange(O))
        got = self._floats(m, 1)["weights"]
        for o, c, r, k in np.ndindex(O, C, KH, KW):
            self.assertEqual(got[((o * KH + r) * KW + k) * C + c], w[o, c, r, k])

    def test_depthwise_and_separable_are_row_column_channel(self):
        C, K, O = 4, 3, 2
        dw = np.fromfunction(lambda c, _, r, k: r * 100 + k * 10 + c, (C, 1, K, K))
        pw = np.fromfunction(lambda o, c: o * 10 + c, (O, C))
        m = ModelStream()
        x = m.input(C)
        m.depthwise(x, dw, np.zeros(C))
        m.separable(x, dw, pw, np.zeros(O))
        depth, sep = self._floats(m, 1), self._floats(m, 2)
        for c, r, k in np.ndindex(C, K, K):
            self.assertEqual(depth["weights"][(r * K + k) * C + c], dw[c, 0, r, k])
            self.assertEqual(sep["weights"][(r * K + k) * C + c], dw[c, 0, r, k])
        for o, c in np.ndindex(O, C):
            self.assertEqual(sep["pointwise_weights"][o * C + c], pw[o, c])

    def test_dense_is_input_major(self):
        I, O = 4, 3
        w = np.fromfunction(lambda o, i: o * 10 + i, (O, I))
        m = ModelStream()
        m.dense(m.input(I), w, np.zeros(O))
        got = self._floats(m, 1)["weights"]
        for i, o in np.ndindex(I, O):
            self.assertEqual(got[i * O + o], w[o, i])


def run_stream(model, *inputs_hwc):
    parsed = reference.read_stream(model.to_bytes())
    return reference.run_model(parsed, [np.asarray(x, np.float64) for x in inputs_hwc])[-1]


def to_nchw(x):
    return torch.from_numpy(np.ascontiguousarray(x.transpose(2, 0, 1)[None])).double()


def from_nchw(t):
    return t.detach()[0].numpy().transpose(1, 2, 0)


class AgainstPyTorch(unittest.TestCase):
    """Exported torch layers computed by the reference equal torch's own output."""

    rng = np.random.default_rng(5)

    def image(self, w, h, c):
        return self.rng.uniform(-1, 1, (h, w, c)).astype(np.float32)

    def assertClose(self, got, want):
        self.assertEqual(got.shape, want.shape)
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-9)

    def test_convolutions_exported_from_torch(self):
        table = [
            # cin, cout, kernel, stride, padding, dilation, groups, size (w, h)
            (3, 5, 3, 1, 1, 1, 1, (7, 5)),
            (4, 4, 3, 2, 1, 1, 1, (8, 6)),
            (4, 3, 5, 1, 2, 1, 1, (13, 11)),
            (3, 4, 5, 2, 2, 1, 1, (8, 6)),
            (4, 4, 3, 1, 2, 2, 1, (13, 11)),
            (3, 4, 2, 2, 0, 1, 1, (8, 6)),
            (8, 4, 1, 2, 0, 1, 1, (8, 6)),
            (4, 4, 3, 1, 1, 1, 4, (7, 5)),
            (4, 4, 3, 2, 1, 1, 4, (8, 6)),
        ]
        for cin, cout, k, s, p, d, g, (w, h) in table:
            with self.subTest(k=k, stride=s, dilation=d, groups=g, size=(w, h)):
                torch.manual_seed(k * 100 + s * 10 + d + g)
                conv = torch.nn.Conv2d(cin, cout, k, s, p, d, g)
                m = ModelStream(stride_offset_mode=1)
                m.conv2d_from_torch(m.input(cin), conv, activation=torch.nn.ELU())
                x = self.image(w, h, cin)
                want = F.elu(F.conv2d(to_nchw(x), conv.weight.double(), conv.bias.double(), s, p, d, g))
                self.assertClose(run_stream(m, x), from_nchw(want))

    def test_separable_is_depthwise_then_pointwise(self):
        dw = torch.nn.Conv2d(6, 6, 3, 1, 1, groups=6, bias=False)
        pw = torch.nn.Conv2d(6, 5, 1)
        m = ModelStream()
        m.separable(m.input(6), dw.weight, pw.weight, pw.bias, activation="sigm")
        x = self.image(7, 5, 6)
        want = torch.sigmoid(F.conv2d(F.conv2d(to_nchw(x), dw.weight.double(), None, 1, 1, 1, 6),
                                      pw.weight.double(), pw.bias.double()))
        self.assertClose(run_stream(m, x), from_nchw(want))

    def test_pooling_and_upsampling(self):
        table = [
            ("max", lambda m, x: m.max_pool(x), lambda t: F.max_pool2d(t, 2)),
            ("avg", lambda m, x: m.avg_pool(x, 2, 2), lambda t: F.avg_pool2d(t, 2)),
            ("nearest", lambda m, x: m.upsample_nearest(x),
             lambda t: F.interpolate(t, scale_factor=2, mode="nearest")),
            ("bilinear", lambda m, x: m.upsample_bilinear(x),
             lambda t: F.interpolate(t, scale_factor=2, mode="bilinear", align_corners=False)),
            ("global avg", lambda m, x: m.global_avg_pool(x), lambda t: t.mean(dim=(2, 3), keepdim=True)),
            ("global max", lambda m, x: m.global_max_pool(x), lambda t: t.amax(dim=(2, 3), keepdim=True)),
        ]
        for name, add_layer, torch_op in table:
            for w, h in ((7, 5), (8, 6)):
                with self.subTest(name, size=(w, h)):
                    m = ModelStream()
                    add_layer(m, m.input(3))
                    x = self.image(w, h, 3)
                    self.assertClose(run_stream(m, x), from_nchw(torch_op(to_nchw(x))))

    def test_group_norm_with_eps_0_01(self):
        norm = torch.nn.GroupNorm(3, 6, eps=0.01)
        with torch.no_grad():
            norm.weight.uniform_(0.5, 1.5)
            norm.bias.uniform_(-0.5, 0.5)
        m = ModelStream()
        m.group_norm_from_torch(m.input(6), norm)
        x = self.image(7, 5, 6) * 3 + 1
        want = F.group_norm(to_nchw(x), 3, norm.weight.double(), norm.bias.double(), 0.01)
        np.testing.assert_allclose(run_stream(m, x), from_nchw(want), rtol=1e-7, atol=1e-7)

    def test_dense_after_global_pooling(self):
        linear = torch.nn.Linear(5, 3)
        m = ModelStream()
        m.dense_from_torch(m.global_avg_pool(m.input(5)), linear, activation="lre1")
        x = self.image(8, 6, 5)
        want = F.leaky_relu(F.linear(to_nchw(x).mean(dim=(2, 3)), linear.weight.double(),
                                     linear.bias.double()), 0.1)
        self.assertClose(run_stream(m, x)[0, 0], want[0].detach().numpy())

    def test_transpose_and_matmul_follow_their_output_shapes(self):
        x = self.image(5, 3, 4)  # (H, W, C)
        m1, m2 = ModelStream(), ModelStream()
        m1.transpose(m1.input(4), 1)
        m2.transpose(m2.input(4), 1000)
        # Mode 1: (W, H, C) -> (C, H, W); element (x, y, c) comes from (c, y, x).
        self.assertClose(run_stream(m1, x), np.einsum("yxc->ycx", x).astype(np.float64))
        # Mode 1000: (W, H, C) -> (W, C, H); element (x, y, c) comes from (x, c, y).
        self.assertClose(run_stream(m2, x), np.einsum("yxc->cxy", x).astype(np.float64))

        m = ModelStream()
        inp = m.input(4)
        m.matmul(m.reshape(inp, 1, 6, 4), m.reshape(inp, 1, 4, 6))
        x = self.image(2, 3, 4)
        flat = x.reshape(-1).astype(np.float64)
        self.assertClose(run_stream(m, x)[:, 0, :], flat.reshape(6, 4) @ flat.reshape(4, 6))


class EngineArithmetic(unittest.TestCase):
    """Behaviours with no PyTorch counterpart, checked on small hand-made inputs."""

    def test_strided_centre_offset(self):
        # A 3x3 filter that picks the centre tap shows which source pixel is sampled.
        w = np.zeros((1, 1, 3, 3))
        w[0, 0, 1, 1] = 1
        x = np.arange(8, dtype=np.float32).reshape(1, 8, 1).repeat(3, axis=0)
        for mode, first in ((0, 1), (1, 0)):
            with self.subTest(mode=mode):
                m = ModelStream(stride_offset_mode=mode)
                m.conv2d(m.input(1), w, stride=2)
                np.testing.assert_array_equal(run_stream(m, x)[0, :, 0], [first, first + 2, first + 4, first + 6])

    def test_clipped_taps_do_not_renormalise(self):
        m = ModelStream()
        m.conv2d(m.input(1), np.ones((1, 1, 3, 3)))
        out = run_stream(m, np.ones((3, 4, 1), np.float32))[:, :, 0]
        np.testing.assert_array_equal(out, [[4, 6, 6, 4], [6, 9, 9, 6], [4, 6, 6, 4]])

    def test_average_pooling_at_stride_1_repeats_edges(self):
        x = np.arange(6, dtype=np.float32).reshape(2, 3, 1)
        for pool, want in ((3, np.array([[12, 18, 24], [21, 27, 33]]) / 9),
                           (2, [[2, 3, 3.5], [3.5, 4.5, 5]])):
            with self.subTest(pool=pool):
                m = ModelStream()
                m.avg_pool(m.input(1), 1, pool)
                np.testing.assert_allclose(run_stream(m, x)[:, :, 0], want, rtol=1e-7)

    def test_multiply_repeats_the_second_inputs_channels(self):
        a = np.ones((1, 1, 6), np.float32)
        b = np.array([[[2, 3]]], np.float32)
        m = ModelStream()
        m.multiply(m.input(6), m.input(2))
        np.testing.assert_array_equal(run_stream(m, a, b)[0, 0], [2, 3, 2, 3, 2, 3])


    def test_gated_blend_branches(self):
        # s, d, (mix1, mix2, bias, limit2, gate2, blackMask), expected RGB
        table = [
            ("limit scales d down", (0.2, 0.4, 0.6), (2, 2, 2), (1, 1, 0, 1, 0.1, 0), (1.2, 1.4, 1.6)),
            ("below the gate d is halved", (0.5, 0.5, 0.5), (0.04, 0.04, 0.04), (0.5, 2, 0.1, 1, 0.1, 0),
             (0.39, 0.39, 0.39)),
            ("between gate and twice the gate d ramps", (0, 0, 0), (0.15, 0.15, 0.15), (1, 1, 0, 1, 0.1, 0),
             (0.125, 0.125, 0.125)),
            ("dark s is protected", (0.1, 0.1, 0.1), (0, 0, 0), (2, 1, 0, 1, 0.1, 0.2), (0.175, 0.175, 0.175)),
        ]
        for name, s, d, params, want in table:
            with self.subTest(name):
                m = ModelStream()
                m.mix2(m.input(3), m.input(3), *params)
                got = run_stream(m, np.array([[s]], np.float32), np.array([[d]], np.float32))
                np.testing.assert_allclose(got[0, 0], want, rtol=1e-6)

    def test_log_and_exp_mappings_are_inverse(self):
        x = np.linspace(0, 1, 11, dtype=np.float32).reshape(1, 11, 1)
        logs, back = ModelStream(), ModelStream()
        logs.switchable_nonlinear(logs.input(1), 1)
        back.switchable_nonlinear(back.input(1), 2)
        mapped = run_stream(logs, x)
        np.testing.assert_allclose(mapped[0, [0, -1], 0], [0, 1], atol=1e-12)
        np.testing.assert_allclose(run_stream(back, mapped), x, atol=1e-6)


class WriterRefuses(unittest.TestCase):
    """What the engine cannot represent is refused at export, not miscomputed later."""

    def test_unrepresentable_layers(self):
        conv3x3 = np.ones((1, 3, 3, 3))
        # name, stream version and offset mode, what is attempted on a fresh stream
        table = [
            ("4-channel input below v4", (3, 1), lambda m: m.input(4)),
            ("second input below v4", (3, 1), lambda m: [m.input(3), m.input(3)]),
            ("dilation below v2", (1, 0), lambda m: m.conv2d(m.input(3), conv3x3, dilation=2)),
            ("output layers below v5", (4, 1), lambda m: m.mark_output(m.input(3))),
            ("separable over 1024 channels", (5, 1),
             lambda m: m.separable(m.input(1025), np.ones((1025, 1, 3, 3)), np.ones((2, 1025)))),
            ("clip other than [0, 1]", (5, 1), lambda m: m.clip(m.input(3), -1, 1)),
            ("transpose mode 2", (5, 1), lambda m: m.transpose(m.input(3), 2)),
            ("average pooling stride 3", (5, 1), lambda m: m.avg_pool(m.input(3), 3)),
            ("four-way concatenation", (5, 1), lambda m: m.concat(*[m.input(3)] * 4)),
            ("inbound index ahead", (5, 1), lambda m: m.add(0, 1)),
            ("bias of the wrong length", (5, 1), lambda m: m.conv2d(m.input(3), np.ones((2, 3, 1, 1)), [1.0])),
            ("groups not dividing channels", (5, 1), lambda m: m.group_norm(m.input(3), 2, np.ones(3), np.zeros(3))),
            ("sigmoid as a layer", (5, 1), lambda m: m.activation(m.input(3), "sigmoid")),
            ("unknown activation", (5, 1), lambda m: m.conv2d(m.input(3), conv3x3, activation="tanh")),
            ("torch padding the engine cannot mimic", (5, 1),
             lambda m: m.conv2d_from_torch(m.input(3), torch.nn.Conv2d(3, 3, 3, 1, 0))),
            ("torch stride-2 padding under offset mode 0", (3, 0),
             lambda m: m.conv2d_from_torch(m.input(3), torch.nn.Conv2d(3, 3, 3, 2, 1))),
            ("torch grouped convolution", (5, 1),
             lambda m: m.conv2d_from_torch(m.input(4), torch.nn.Conv2d(4, 4, 3, 1, 1, groups=2))),
        ]
        for name, (version, mode), attempt in table:
            with self.subTest(name):
                stream = ModelStream(version=version, stride_offset_mode=mode)
                with self.assertRaises(ValueError):
                    attempt(stream)

    def test_offset_mode_needs_version_3(self):
        with self.assertRaises(ValueError):
            ModelStream(version=2, stride_offset_mode=1)


class CommittedFixtures(unittest.TestCase):
    """The committed fixtures are what the generator writes now."""

    def test_fixtures_are_current(self):
        import tempfile
        import make_layer_fixtures as gen
        if not FIXTURES.exists():
            self.skipTest("no fixtures")
        with tempfile.TemporaryDirectory() as tmp:
            with contextlib.redirect_stdout(io.StringIO()):
                gen.main(["--out", tmp])
            fresh = sorted(p.relative_to(tmp) for p in Path(tmp).rglob("*") if p.is_file())
            committed = sorted(p.relative_to(FIXTURES) for p in FIXTURES.rglob("*") if p.is_file())
            self.assertEqual(fresh, committed)
            for rel in fresh:
                with self.subTest(str(rel)):
                    self.assertEqual((Path(tmp) / rel).read_bytes(), (FIXTURES / rel).read_bytes())

    def test_every_stream_parses_to_its_end(self):
        for stream in sorted(FIXTURES.glob("*/model.cnn")):
            with self.subTest(stream.parent.name):
                data = stream.read_bytes()
                self.assertEqual(reference.read_stream(data).size, len(data))
                with self.assertRaises(ValueError):
                    reference.read_stream(data[:-1])


if __name__ == "__main__":
    unittest.main()
