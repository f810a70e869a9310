"""Checks of the synthetic data, the networks, the tile path and the export.

    cd tools/models && /usr/bin/python3 -m unittest test_models
"""
import math
import sys
import tempfile
import unittest
from pathlib import Path

import numpy as np
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))
import export  # noqa: E402
from evaluate import median_baseline  # noqa: E402
import metrics  # noqa: E402
import nets  # noqa: E402
import training  # noqa: E402
from pipeline import engine_upscale, enlarge_mask, predict_by_tiles, reduce256, run_tile  # noqa: E402
from synth import make_photo  # noqa: E402
from synth.dataset import PhotoCache, write_photo  # noqa: E402


class SyntheticPhotos(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.photos = {seed: make_photo(seed, 240, 200) for seed in (3, 4, 11)}

    def test_same_seed_gives_the_same_photograph(self):
        again = make_photo(3, 240, 200)
        first = self.photos[3]
        for name in ("dirty", "clean", "dirt_mask", "subject_mask"):
            np.testing.assert_array_equal(getattr(first, name), getattr(again, name), err_msg=name)
        self.assertFalse(np.array_equal(first.dirty, self.photos[4].dirty))

    def test_ground_truth_is_consistent(self):
        for seed, p in self.photos.items():
            with self.subTest(seed=seed):
                for img in (p.dirty, p.clean):
                    self.assertEqual(img.shape, (240, 200, 3))
                    self.assertTrue(0 <= img.min() and img.max() <= 1)
                differs = np.abs(p.dirty - p.clean).max(-1) > 1e-6
                # every changed pixel is dirt, and dirt never shows on a person (lens softness
                # may carry a trace across the outline, as in a photograph)
                self.assertFalse((differs & (p.dirt_mask <= 0)).any())
                self.assertLess(np.abs(p.dirty - p.clean)[p.subject_mask >= 0.999].max(initial=0), 0.1 / 255)

    def test_typical_photographs_have_dirt_and_people(self):
        self.assertTrue(any(p.dirt_mask.max() > 0.5 for p in self.photos.values()))
        self.assertTrue(any(p.subject_mask.mean() > 0.05 for p in self.photos.values()))


class TilePath(unittest.TestCase):
    def test_upscale_matches_the_engine_formula(self):
        # 2x2 -> 4x4: the first row extrapolates (1.25 row0 - 0.25 row1), column 0 does not
        src = torch.tensor([[1.0, 2.0], [3.0, 5.0]])[None, None]
        out = engine_upscale(src, 4, 4)[0, 0]
        self.assertAlmostEqual(out[0, 0].item(), 1.25 * 1 - 0.25 * 3, places=6)
        self.assertAlmostEqual(out[2, 0].item(), 0.25 * 1 + 0.75 * 3, places=6)
        self.assertAlmostEqual(out[3, 3].item(), 5.0, places=6)

    def test_upscale_matches_a_direct_loop_for_factor_three(self):
        rng = np.random.default_rng(0)
        src = rng.random((5, 7)).astype(np.float32)
        ours = engine_upscale(torch.from_numpy(src)[None, None], 15, 21)[0, 0].numpy()
        ref = np.zeros((15, 21))
        for i in range(15):
            u = i * (5 / 15) - 0.25
            r0 = max(0, math.floor(u))
            fy = u - r0
            for j in range(21):
                v = j * (7 / 21) - 0.25
                c0 = math.floor(v)
                fx = v - c0
                a, b = min(max(0, c0), 6), min(c0 + 1, 6)
                r1 = min(r0 + 1, 4)
                ref[i, j] = (src[min(r0, 4), a] * (1 - fx) * (1 - fy) + src[min(r0, 4), b] * fx * (1 - fy)
                             + src[r1, a] * (1 - fx) * fy + src[r1, b] * fx * fy)
        np.testing.assert_allclose(ours, ref, atol=1e-5)

    def test_a_network_that_changes_nothing_returns_the_tile_exactly(self):
        identity = lambda x, return_all=False: [x] if return_all else x
        tile = torch.rand(1, 3, 48, 48)
        for k in (1, 2, 3):
            out, _ = run_tile(identity, tile, k)
            torch.testing.assert_close(out, tile, atol=1e-6, rtol=0)


    def test_tiles_cover_the_image_once_at_every_factor(self):
        # an identity network must give the picture back: any tile or core misplacement shows
        image = np.random.default_rng(2).random((50, 70, 3)).astype(np.float32)
        for k in (1, 2, 3):
            with self.subTest(k=k):
                out = predict_by_tiles(lambda t: t, image, tile_size=32, tile_step=16, k=k)
                np.testing.assert_allclose(out, image, atol=1e-5)


class Networks(unittest.TestCase):
    def test_budgets_and_shapes(self):
        for build, size, budget, out_ch in ((nets.clean_net, 832, 8e9, 3), (nets.mask_net, 256, 1e9, 1)):
            with self.subTest(net=build.__name__):
                g = build()
                self.assertLessEqual(g.flops(size, size)[0], budget)
                with torch.no_grad():
                    self.assertEqual(tuple(g(torch.rand(1, 3, 64, 96)).shape), (1, out_ch, 64, 96))

    def test_closed_gate_leaves_the_picture_alone(self):
        g = nets.clean_net()
        gate = g.nodes[nets.gate_node(g)].conv
        with torch.no_grad():
            gate.weight.zero_()
            gate.bias.fill_(-30.0)
            x = torch.rand(1, 3, 32, 32)
            torch.testing.assert_close(g(x), x, atol=1e-7, rtol=0)

    def test_mask_output_lies_in_zero_to_one(self):
        with torch.no_grad():
            y = nets.mask_net()(torch.rand(2, 3, 64, 64) * 4 - 2)
        self.assertTrue(0 <= y.min() and y.max() <= 1)

    def test_export_computes_what_pytorch_computes(self):
        torch.manual_seed(0)
        for build in (nets.clean_net, nets.mask_net):
            with self.subTest(net=build.__name__):
                g = build().eval()
                with torch.no_grad():
                    for p in g.parameters():
                        p.add_(0.05 * torch.randn_like(p))
                stream = export.to_stream(g).to_bytes()
                _, _, worst, ok = export.check(g, stream, 64, 1, 1e-4)
                self.assertTrue(ok, f"largest difference {worst}")


class MaskInput(unittest.TestCase):
    def test_reduction_uses_the_engine_boxes(self):
        rng = np.random.default_rng(1)
        for h, w in ((300, 517), (256, 256), (200, 300)):  # 200 < 256: boxes of one row
            img = rng.random((h, w, 3))
            ours = reduce256(img)
            for r, c in ((0, 0), (255, 255), (100, 37)):
                y0, y1 = r * h // 256, max((r + 1) * h // 256, r * h // 256 + 1)
                x0, x1 = c * w // 256, max((c + 1) * w // 256, c * w // 256 + 1)
                np.testing.assert_allclose(ours[r, c], img[y0:y1, x0:x1].mean((0, 1)), rtol=1e-5)


    def test_mask_enlargement_follows_the_engine_formula(self):
        pred = np.random.default_rng(3).random((256, 256)).astype(np.float32)
        h, w = 300, 517
        ours = enlarge_mask(pred, h, w)
        for i, j in ((0, 0), (299, 516), (150, 211)):
            v, u = 256 / h * i - 0.25, 256 / w * j - 0.25
            r0, c0 = math.floor(v), math.floor(u)
            fy, fx = v - r0, u - c0
            p = lambda r, c: pred[min(max(r, 0), 255), min(max(c, 0), 255)]
            value = ((1 - fy) * (1 - fx) * p(r0, c0) + (1 - fy) * fx * p(r0, c0 + 1)
                     + fy * (1 - fx) * p(r0 + 1, c0) + fy * fx * p(r0 + 1, c0 + 1))
            self.assertLessEqual(abs(int(ours[i, j]) - int(min(max(value, 0), 1) * 255)), 1)


class Figures(unittest.TestCase):
    def test_perfect_and_idle_cleaning(self):
        clean = np.full((40, 40, 3), 0.5, np.float32)
        dirty = clean.copy()
        dirty[10:13, 10:13] = 0.1
        subject = np.zeros((40, 40), np.float32)
        subject[30:, 30:] = 1
        shifted = clean + 2 / 255  # every pixel changed by 2/255, the subject too
        cases = [("perfect", clean, 1.0, 0.0, 0.0), ("idle", dirty, 0.0, 0.0, 0.0),
                 ("damaging", shifted, 1 - (2 / 255) / 0.4, 2.0, 2.0)]
        for name, result, removed, damage, subject_change in cases:
            with self.subTest(name):
                fig = metrics.summarise([metrics.figures(result, dirty, clean, subject)])
                self.assertAlmostEqual(fig["dirt_removed"], removed, places=4)
                self.assertAlmostEqual(fig["backdrop_damage"], damage, places=3)
                self.assertAlmostEqual(fig["subject_change"], subject_change, places=3)


class Baseline(unittest.TestCase):
    def test_median_removes_a_speck_and_leaves_smooth_backdrop(self):
        yy, xx = np.mgrid[0:60, 0:60] / 60.0
        clean = np.repeat((0.3 + 0.3 * xx + 0.1 * yy)[..., None], 3, -1).astype(np.float32)
        # shrunk by k, the change comes back through the bilinear enlargement: softer edges
        for k, speck, kept in ((1, 2, 0.05), (2, 4, 0.5), (3, 6, 0.5)):
            with self.subTest(k=k):
                dirty = clean.copy()
                dirty[30:30 + speck, 24:24 + speck] = 0.05
                out = median_baseline(dirty, k, radius=2, threshold=10 / 255)
                spot = (slice(30, 30 + speck), slice(24, 24 + speck))
                before, after = np.abs(dirty - clean)[spot].mean(), np.abs(out - clean)[spot].mean()
                self.assertLess(after, kept * before)
                far = np.ones((60, 60), bool)
                far[20:46, 14:40] = False
                np.testing.assert_allclose(out[far], dirty[far], atol=1e-6)


class Training(unittest.TestCase):
    def test_learning_rate_warms_up_and_is_annealed_when_the_time_is_up(self):
        peak = 1e-3
        cases = [("start", 0.0, 0.01 * peak), ("warm", training.WARMUP, peak),
                 ("deadline", 1.0, training.FLOOR * peak), ("overrun", 1.3, training.FLOOR * peak)]
        for name, fraction, expected in cases:
            with self.subTest(name):
                self.assertAlmostEqual(training.learning_rate(peak, fraction), expected, places=9)
        self.assertGreater(training.learning_rate(peak, 0.5), training.learning_rate(peak, 0.9))

    def test_focused_crops_hold_dirt(self):
        with tempfile.TemporaryDirectory() as folder:
            for seed in (5, 6):
                write_photo(folder, seed, 300, 260)
            cache = PhotoCache(folder)
            rng = np.random.default_rng(0)
            for _ in range(40):
                dirty, clean, _, _ = cache.crop(rng, 64, focus=1.0)
                self.assertEqual(dirty.shape, (64, 64, 3))
                self.assertGreater(np.abs(dirty - clean).max(), metrics.DIRT_VISIBLE)
