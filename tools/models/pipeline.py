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
