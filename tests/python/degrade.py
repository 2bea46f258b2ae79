"""Degraded copies of an acquisition: Rician noise, fewer directions, a slab of slices.

Each helper takes and returns a `Scan` (float32 data (x, y, z, volumes), voxel-frame unit
directions, b-values, affine, optional boolean mask), so degradations compose.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import Optional

import numpy as np


@dataclass(frozen=True)
class Scan:
    data: np.ndarray
    voxel_dirs: np.ndarray
    bvals: np.ndarray
    affine: np.ndarray
    mask: Optional[np.ndarray]


def b0_volumes(scan: Scan, threshold: float = 50.0) -> np.ndarray:
    return np.flatnonzero(scan.bvals <= threshold)


def rician(scan: Scan, fraction: float, seed: int = 7) -> Scan:
    """Rician noise of sigma = fraction x the median b0 signal inside the mask (without a
    mask, inside every voxel above a tenth of the b0 maximum)."""
    b0 = scan.data[..., b0_volumes(scan)].mean(axis=-1)
    inside = scan.mask if scan.mask is not None else b0 > 0.1 * b0.max()
    sigma = fraction * float(np.median(b0[inside]))
    rng = np.random.default_rng(seed)
    noisy = np.hypot(scan.data + rng.normal(0.0, sigma, scan.data.shape),
                     rng.normal(0.0, sigma, scan.data.shape))
    return replace(scan, data=noisy.astype(np.float32))


def first_directions(scan: Scan, n: int) -> Scan:
    """The first b0 volume and the first n diffusion-weighted volumes."""
    b0 = b0_volumes(scan)[:1]
    dw = np.flatnonzero(scan.bvals > 50.0)[:n]
    keep = np.concatenate([b0, dw])
    return replace(scan, data=np.ascontiguousarray(scan.data[..., keep]),
                   voxel_dirs=scan.voxel_dirs[keep], bvals=scan.bvals[keep])


def central_slab(scan: Scan, slices: int = 12, axis: int = 2) -> Scan:
    """The central `slices` slices along `axis`, with the affine moved to the first kept one."""
    n = scan.data.shape[axis]
    start = max(0, (n - slices) // 2)
    keep = slice(start, start + slices)
    index = [slice(None)] * 3
    index[axis] = keep
    affine = scan.affine.copy()
    offset = np.zeros(3)
    offset[axis] = start
    affine[:3, 3] = affine[:3, :3] @ offset + affine[:3, 3]
    mask = None if scan.mask is None else np.ascontiguousarray(scan.mask[tuple(index)])
    return replace(scan, data=np.ascontiguousarray(scan.data[tuple(index)]), affine=affine, mask=mask)


def isotropic(scan: Scan, _=None) -> Scan:
    """Every diffusion-weighted volume replaced by the voxel's geometric mean over them: the
    image keeps its contrast and loses every fibre direction."""
    dw = scan.bvals > 50.0
    data = scan.data.copy()
    mean = np.exp(np.log(np.maximum(scan.data[..., dw], 1e-3)).mean(axis=-1))
    data[..., dw] = mean[..., None]
    return replace(scan, data=data)
