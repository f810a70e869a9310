"""Quality figures of a cleaned picture against the synthetic ground truth.

dirt_removed: 1 - (mean error on dirt pixels after) / (mean error there before).
backdrop_damage: mean absolute change on clean backdrop pixels, in 1/255 units.
subject_change: mean absolute change on the subject, in 1/255 units.
A pixel counts as dirt when the dirt changed it visibly (more than DIRT_VISIBLE); the ring
of DIRT_RING pixels around dirt is neither dirt nor clean backdrop, because faint dirt
edges blend into it.
"""
import numpy as np
from scipy import ndimage

DIRT_VISIBLE = 1.0 / 255
DIRT_RING = 2
SUBJECT_MIN = 0.5


def regions(dirty, clean, subject):
    """Boolean maps (dirt, clean backdrop, subject) for H x W x 3 arrays."""
    changed = np.abs(dirty - clean).max(-1) > DIRT_VISIBLE
    on_subject = subject > SUBJECT_MIN
    dirt = changed & ~on_subject
    near = ndimage.binary_dilation(changed, iterations=DIRT_RING)
    backdrop = ~near & (subject <= 0.0)
    return dirt, backdrop, on_subject


def figures(result, dirty, clean, subject):
    dirt, backdrop, on_subject = regions(dirty, clean, subject)
    err_before = np.abs(dirty - clean)[dirt].mean() if dirt.any() else np.nan
    err_after = np.abs(result - clean)[dirt].mean() if dirt.any() else np.nan
    change = np.abs(result - dirty)
    return {
        "dirt_err_before": err_before,
        "dirt_err_after": err_after,
        "dirt_pixels": int(dirt.sum()),
        "backdrop_damage": 255 * change[backdrop].mean() if backdrop.any() else np.nan,
        "subject_change": 255 * change[on_subject].mean() if on_subject.any() else np.nan,
    }


def summarise(rows):
    """Pool per-picture figures: dirt removal weighted by dirt pixels, others by picture."""
    w = np.array([r["dirt_pixels"] for r in rows], np.float64)
    before = np.array([r["dirt_err_before"] for r in rows])
    after = np.array([r["dirt_err_after"] for r in rows])
    ok = w > 0
    removed = 1 - (after[ok] * w[ok]).sum() / max((before[ok] * w[ok]).sum(), 1e-12)
    return {
        "dirt_removed": removed,
        "backdrop_damage": np.nanmean([r["backdrop_damage"] for r in rows]),
        "subject_change": np.nanmean([r["subject_change"] for r in rows]),
    }


def iou(pred, truth, threshold=0.5):
    p, t = pred > threshold, truth > threshold
    union = (p | t).sum()
    return 1.0 if union == 0 else (p & t).sum() / union
