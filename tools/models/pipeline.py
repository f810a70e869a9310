"""What happens to one tile around the cleaning network, in differentiable PyTorch.

The engine shrinks a tile by K with a box filter, runs the network on the small tile,
enlarges the result with its own bilinear function and subtracts the residual
upscale(small) - tile. The full-size result is therefore

    tile + upscale(net(small) - small)

Training through exactly this lets the loss judge the picture the user will see, at full
resolution, for each dirt strength (K = 3 Coarse, 2 Medium, 1 Fine).
"""
import functools
import math

import numpy as np
import torch
import torch.nn.functional as F

STRENGTH_FACTORS = {"coarse": 3, "medium": 2, "fine": 1}


@functools.lru_cache(maxsize=64)
def upscale_matrices(src_h, src_w, dst_h, dst_w):
    """Row and column weight matrices of the engine's bilinear enlargement.

    Rows: u = i * (src_h / dst_h) - 0.25, r0 = max(0, floor(u)), fy = u - r0 (so the first
    rows extrapolate), rows r0 and r0 + 1 clamped to the last row. Columns: v likewise,
    c0 = floor(v), fx = v - c0 against the unclamped floor, both columns clamped.
    """
    sy, sx = src_h / dst_h, src_w / dst_w
    rows = torch.zeros(dst_h, src_h, dtype=torch.float64)
    for i in range(dst_h):
        u = i * sy - 0.25
        r0 = max(0, math.floor(u))
        fy = u - r0
        rows[i, min(r0, src_h - 1)] += 1 - fy
        rows[i, min(r0 + 1, src_h - 1)] += fy
    cols = torch.zeros(dst_w, src_w, dtype=torch.float64)
    for j in range(dst_w):
        v = j * sx - 0.25
        c0 = math.floor(v)
        fx = v - c0
        cols[j, min(max(0, c0), src_w - 1)] += 1 - fx
        cols[j, min(c0 + 1, src_w - 1)] += fx
    return rows.float(), cols.float()


def engine_upscale(x, dst_h, dst_w):
    """x: N x C x h x w -> N x C x dst_h x dst_w with the engine's weights."""
    rows, cols = upscale_matrices(x.shape[2], x.shape[3], dst_h, dst_w)
    return torch.einsum("ih,nchw,jw->ncij", rows.to(x.device), x, cols.to(x.device))


def box_down(x, k):
    return x if k == 1 else F.avg_pool2d(x, k)


def run_tile(net, tile, k):
    """Full-size result of the network on `tile` (N x 3 x kS x kS) at shrink factor k.

    Also returns the network's own output on the small tile (for auxiliary losses).
    """
    small = box_down(tile, k)
    values = net(small, return_all=True)
    out_small = values[-1]
    if k == 1:
        return out_small, values
    h, w = tile.shape[2], tile.shape[3]
    return tile + engine_upscale(out_small - small, h, w), values


def _upscale_np(img, dst_h, dst_w):
    rows, cols = upscale_matrices(img.shape[0], img.shape[1], dst_h, dst_w)
    return np.einsum("ih,hwc,jw->ijc", rows.numpy(), img, cols.numpy(), optimize=True).astype(np.float32)


def predict_by_tiles(run_net, image, tile_size=832, tile_step=448, k=1):
    """The engine's tiled prediction with the detail-restoring shrink, in numpy.

    run_net maps a tile_size x tile_size x 3 array to the network output of the same size.
    Tiles of (tile_size * k) pixels advance by (tile_step * k); pixels outside the image
    repeat its border; only each tile's core is kept.
    """
    h, w, c = image.shape
    step, edge = tile_step * k, tile_size * k
    margin = (edge - step) // 2
    out = np.empty_like(image)
    rows_idx = lambda y0: np.clip(np.arange(y0 - margin, y0 - margin + edge), 0, h - 1)
    cols_idx = lambda x0: np.clip(np.arange(x0 - margin, x0 - margin + edge), 0, w - 1)
    for y0 in range(0, h, step):
        for x0 in range(0, w, step):
            tile = image[rows_idx(y0)][:, cols_idx(x0)]
            if k >= 2:
                small = tile.reshape(tile_size, k, tile_size, k, c).mean((1, 3), dtype=np.float32)
                residual = _upscale_np(small, edge, edge) - tile
                result = _upscale_np(run_net(small), edge, edge) - residual
            else:
                result = run_net(tile)
            y1, x1 = min(h, y0 + step), min(w, x0 + step)
            out[y0:y1, x0:x1] = result[margin:margin + y1 - y0, margin:margin + x1 - x0]
    return out


def torch_runner(net):
    """run_net for predict_by_tiles from a PyTorch network."""
    def run(tile):
        with torch.no_grad():
            x = torch.from_numpy(np.ascontiguousarray(tile)).permute(2, 0, 1)[None]
            return net(x)[0].permute(1, 2, 0).numpy()
    return run


MASK_SIDE = 256


def box_bounds(n):
    """Engine's box reduction bounds: [r * n / 256, (r + 1) * n / 256), at least one row."""
    r = np.arange(MASK_SIDE)
    lo = r * n // MASK_SIDE
    hi = np.maximum((r + 1) * n // MASK_SIDE, lo + 1)
    return lo, hi


def reduce256(img):
    """Average boxes of an H x W (x C) array into 256 x 256 (x C), with summed-area tables."""
    a = img if img.ndim == 3 else img[..., None]
    h, w = a.shape[:2]
    s = np.zeros((h + 1, w + 1, a.shape[2]), np.float64)
    s[1:, 1:] = a.cumsum(0).cumsum(1)
    y0, y1 = box_bounds(h)
    x0, x1 = box_bounds(w)
    total = s[y1][:, x1] - s[y0][:, x1] - s[y1][:, x0] + s[y0][:, x0]
    out = total / ((y1 - y0)[:, None, None] * (x1 - x0)[None, :, None])
    out = out.astype(np.float32)
    return out if img.ndim == 3 else out[..., 0]


def enlarge_mask(pred, h, w):
    """The engine's enlargement of the 256 x 256 prediction to the subject mask bytes.

    Row i samples v = (256 / h) * i - 0.25, column j likewise; bilinear between the two
    neighbouring rows and columns (indices clamped); byte = truncate(clamp(value) * 255).
    """
    def axis(n):
        v = (MASK_SIDE / n) * np.arange(n) - 0.25
        i0 = np.floor(v).astype(int)
        f = (v - i0).astype(np.float32)
        return np.clip(i0, 0, MASK_SIDE - 1), np.clip(i0 + 1, 0, MASK_SIDE - 1), f
    r0, r1, fy = axis(h)
    c0, c1, fx = axis(w)
    fy, fx = fy[:, None], fx[None, :]
    value = ((1 - fy) * (1 - fx) * pred[r0][:, c0] + (1 - fy) * fx * pred[r0][:, c1]
             + fy * (1 - fx) * pred[r1][:, c0] + fy * fx * pred[r1][:, c1])
    return (np.clip(value, 0, 1) * 255).astype(np.uint8)
