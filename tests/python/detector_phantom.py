"""A brain-like synthetic DWI for exercising flip detection, and helpers to corrupt its table.

The image is an ellipsoidal "brain" in a noisy background: grey matter at the rim, small
ventricles of free water, and white-matter bundles with known fibre directions (gently curved
arcs bending in the xy, xz and yz planes, thick straight oblique segments, and a region where two
bundles cross). Signals follow the tensor model (a 50/50 two-tensor mix where bundles cross) with
Rician magnitude noise.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import nibabel as nib
import numpy as np

# Tissue b0 signals and diffusivities (mm^2/s), in the proportions of a T2-weighted b0.
S0_WM, S0_GM, S0_CSF = 700.0, 850.0, 1800.0
D_GM, D_CSF = 0.8e-3, 3.0e-3
LAMBDA_PARALLEL, LAMBDA_PERPENDICULAR = 1.7e-3, 0.3e-3


def sphere_directions(n: int, seed: int = 3) -> np.ndarray:
    """n unit vectors over a hemisphere (golden-angle spiral, slightly jittered), shape (n, 3)."""
    i = np.arange(n) + 0.5
    z = 1.0 - i / n
    phi = np.pi * (1.0 + 5.0**0.5) * i + np.random.default_rng(seed).normal(0, 0.05, n)
    r = np.sqrt(1.0 - z * z)
    return np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)


def _unit(v: np.ndarray) -> np.ndarray:
    return v / np.maximum(np.linalg.norm(v, axis=-1, keepdims=True), 1e-12)


def _arc(grid, centre, radius, tube, plane, offset):
    """Voxels of a circular bundle of large radius in a coordinate plane, and its tangent field.

    plane = (a, b, n): the arc lies in the (a, b) plane at coordinate n = offset.
    """
    a, b, n = plane
    da = grid[..., a] - centre[0]
    db = grid[..., b] - centre[1]
    rho = np.hypot(da, db)
    inside = np.hypot(rho - radius, grid[..., n] - offset) <= tube
    tangent = np.zeros(grid.shape)
    tangent[..., a] = -db
    tangent[..., b] = da
    return inside, _unit(tangent)


def _segment(grid, start, end, tube):
    """Voxels within `tube` of a straight segment, and the segment's direction."""
    start, end = np.asarray(start, float), np.asarray(end, float)
    axis = end - start
    length = np.linalg.norm(axis)
    axis /= length
    rel = grid - start
    t = rel @ axis
    dist = np.linalg.norm(rel - t[..., None] * axis, axis=-1)
    inside = (dist <= tube) & (t >= 0) & (t <= length)
    return inside, np.broadcast_to(axis, grid.shape)


@dataclass
class Phantom:
    data: np.ndarray  # (x, y, z, volumes) float32
    bvecs: np.ndarray  # voxel-frame unit directions (volumes, 3), zero rows for b0
    bvals: np.ndarray
    brain: np.ndarray  # boolean (x, y, z)
    wm: np.ndarray  # boolean (x, y, z)


@dataclass
class Anatomy:
    """The phantom's tissues and fibre directions (voxel frame) on one grid."""

    brain: np.ndarray
    wm: np.ndarray
    crossing: np.ndarray
    ventricles: np.ndarray
    primary: np.ndarray  # (x, y, z, 3) unit directions, zero outside the white matter
    secondary: np.ndarray  # the second fibre where two cross
    shading: np.ndarray  # a smooth receive-coil shading over the head, as in any real b0

    def signal(self, bvecs: np.ndarray, bvals: np.ndarray) -> np.ndarray:
        """Noise-free signal of the volumes (x, y, z, len(bvals))."""

        def tensor_signal(field):
            cos = np.einsum("xyzc,nc->xyzn", field, bvecs)
            adc = LAMBDA_PERPENDICULAR + (LAMBDA_PARALLEL - LAMBDA_PERPENDICULAR) * cos**2
            return np.exp(-bvals * adc)

        signal = np.zeros(self.brain.shape + (len(bvals),))
        tissue = self.brain & ~self.wm & ~self.ventricles
        signal[tissue] = S0_GM * np.exp(-bvals * D_GM)
        signal[self.ventricles & self.brain] = S0_CSF * np.exp(-bvals * D_CSF)
        single = tensor_signal(self.primary)
        signal[self.wm] = S0_WM * single[self.wm]
        mix = 0.5 * (single + tensor_signal(self.secondary))
        signal[self.crossing] = S0_WM * mix[self.crossing]
        signal *= self.shading[..., None]
        return signal


def brain_anatomy(shape=(40, 40, 20)) -> Anatomy:
    """The anatomy of brain_phantom; bundle geometry scales with the grid so a coarse grid
    samples the same anatomy."""
    nx, ny, nz = shape
    # Work in a unit frame of 40 x 40 x 20 "reference voxels" so every grid sees one anatomy.
    scale = np.array([40.0 / nx, 40.0 / ny, 20.0 / nz])
    idx = np.stack(np.meshgrid(*[np.arange(k) for k in shape], indexing="ij"), axis=-1)
    grid = (idx + 0.5) * scale - 0.5  # voxel centres in reference voxels
    # Distances inside the bundles are measured in reference voxels; directions in the
    # reference frame map to the voxel frame by the inverse scaling (then renormalised).
    centre = np.array([19.5, 19.5, 9.5])
    rel = (grid - centre) / np.array([18.5, 18.5, 9.0])
    radial = np.linalg.norm(rel, axis=-1)
    brain = radial <= 1.0
    gm = brain & (radial > 0.86)
    ventricles = (
        np.linalg.norm((grid - [19.5, 22.0, 11.0]) / [2.0, 4.0, 1.6], axis=-1) <= 1.0
    )

    primary = np.zeros(shape + (3,))
    secondary = np.zeros(shape + (3,))
    wm = np.zeros(shape, bool)
    crossing = np.zeros(shape, bool)
    bundles = [
        # A callosum-like arc bending in the xy plane, radius 32.
        _arc(grid, (19.5, -16.0), 32.0, 2.6, (0, 1, 2), 11.0),
        # An arc bending in the xz plane, climbing at about 45 degrees through the brain.
        _arc(grid, (-6.0, -14.0), 36.0, 2.4, (0, 2, 1), 12.0),
        # An arc bending in the yz plane, climbing the other way.
        _arc(grid, (44.0, -12.0), 36.0, 2.4, (1, 2, 0), 27.0),
        # Thick straight segments, oblique to every axis.
        _segment(grid, (8.0, 8.0, 3.0), (30.0, 22.0, 16.0), 2.6),
        _segment(grid, (30.0, 8.0, 15.0), (12.0, 32.0, 4.0), 2.2),
        # An association bundle running along y under the arc: it crosses the arc's path.
        _segment(grid, (26.0, 4.0, 12.0), (26.0, 34.0, 9.0), 2.4),
    ]
    for inside, direction in bundles:
        inside = inside & brain & ~gm & ~ventricles
        new = inside & ~wm
        both = inside & wm & ~crossing
        primary[new] = direction[new]
        secondary[both] = direction[both]
        crossing |= both
        wm |= inside
    primary = _unit(primary / scale)
    secondary = _unit(secondary / scale)
    shading = 1.0 + 0.15 * (rel[..., 0] - 0.5 * rel[..., 1])
    return Anatomy(brain, wm, crossing, ventricles, primary, secondary, shading)


def brain_phantom(
    shape=(40, 40, 20),
    n_dirs: int = 40,
    n_b0: int = 4,
    bval: float = 1000.0,
    snr: float = 20.0,
    seed: int = 11,
    table: tuple[np.ndarray, np.ndarray] | None = None,
) -> Phantom:
    """The phantom on `shape` (brain_anatomy). snr is the white-matter b0 signal over the noise
    standard deviation. `table` (unit directions, b-values) replaces the single-shell scheme of
    n_dirs and n_b0."""
    rng = np.random.default_rng(seed)
    anatomy = brain_anatomy(shape)
    if table is None:
        dirs = sphere_directions(n_dirs, seed)
        bvecs = np.vstack([np.zeros((n_b0, 3)), dirs])
        bvals = np.concatenate([np.zeros(n_b0), np.full(n_dirs, bval)])
    else:
        bvecs, bvals = np.asarray(table[0], float), np.asarray(table[1], float)
    signal = anatomy.signal(bvecs, bvals)
    sigma = S0_WM / snr
    noisy = np.hypot(
        signal + rng.normal(0.0, sigma, signal.shape), rng.normal(0.0, sigma, signal.shape)
    )
    return Phantom(noisy.astype(np.float32), bvecs, bvals, anatomy.brain, anatomy.wm)


def fsl_voxel_map(affine: np.ndarray) -> np.ndarray:
    """Voxel-frame direction = F·(FSL direction): the first axis is reversed for det > 0."""
    return np.diag([-1.0, 1.0, 1.0]) if np.linalg.det(affine[:3, :3]) > 0 else np.eye(3)


def world_rotation(affine: np.ndarray) -> np.ndarray:
    """World direction = R·(voxel direction), R the affine's 3x3 with unit columns."""
    return affine[:3, :3] / np.linalg.norm(affine[:3, :3], axis=0)


def oblique_affine(voxel_mm, angles_deg=(12.0, -8.0, 20.0), negative=False) -> np.ndarray:
    """An affine rotated about all three axes; `negative` mirrors x (det < 0), as LAS images are."""
    ax, ay, az = np.radians(angles_deg)
    rx = np.array([[1, 0, 0], [0, np.cos(ax), -np.sin(ax)], [0, np.sin(ax), np.cos(ax)]])
    ry = np.array([[np.cos(ay), 0, np.sin(ay)], [0, 1, 0], [-np.sin(ay), 0, np.cos(ay)]])
    rz = np.array([[np.cos(az), -np.sin(az), 0], [np.sin(az), np.cos(az), 0], [0, 0, 1]])
    rot = rz @ ry @ rx
    if negative:
        rot = rot @ np.diag([-1.0, 1.0, 1.0])
    affine = np.eye(4)
    affine[:3, :3] = rot @ np.diag(voxel_mm)
    affine[:3, 3] = [-40.0, -35.0, -20.0]
    return affine


def write_fsl(bvec: Path, bval: Path, dirs: np.ndarray, bvals: np.ndarray) -> None:
    bvec.write_text("\n".join(" ".join(f"{v:.6f}" for v in dirs[:, k]) for k in range(3)) + "\n")
    bval.write_text(" ".join(f"{b:g}" for b in bvals) + "\n")


def write_grad(path: Path, dirs: np.ndarray, bvals: np.ndarray) -> None:
    path.write_text("".join(f"{g[0]:.6f} {g[1]:.6f} {g[2]:.6f} {b:g}\n" for g, b in zip(dirs, bvals)))


def candidates() -> list[tuple[str, np.ndarray]]:
    """The 48 signed axis permutations, labelled and ordered as the detector's ranking is."""
    out = []
    for p in [(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]:
        for j in range(8):
            s = [-1.0 if j & 1 else 1.0, -1.0 if j & 2 else 1.0, 1.0 if j < 4 else -1.0]
            m = np.zeros((3, 3))
            label = ""
            for r in range(3):
                m[r, p[r]] = s[r]
                label += ("+" if s[r] > 0 else "-") + "xyz"[p[r]]
            out.append((label, m))
    return out


def undoes(recommended, corruption) -> bool:
    product = np.asarray(recommended) @ corruption
    return bool(np.allclose(product, np.eye(3)) or np.allclose(product, -np.eye(3)))


def rotation(axis, degrees):
    a = np.asarray(axis, float) / np.linalg.norm(axis)
    t = np.radians(degrees)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    return np.eye(3) + np.sin(t) * k + (1 - np.cos(t)) * k @ k


def table_corruptions(dirs: np.ndarray, bvals: np.ndarray, multishell: bool):
    """The table corruptions the volume check must name: (case, directions, b-values, expected
    pattern, expected suspect volumes or None for every diffusion-weighted one)."""
    dw = [i for i in range(len(bvals)) if bvals[i] > 50.0]
    n = len(dw)
    out = [("clean", dirs, bvals, "none", [])]
    k = max(2, round(0.1 * n))
    flipped = [dw[(3 + j * n // k) % n] for j in range(k)]
    d = dirs.copy()
    d[flipped, 0] *= -1
    out.append(("x_flip_10pct", d, bvals, "partial_flip", sorted(flipped)))
    i, j = dw[2], dw[n // 2]
    d = dirs.copy()
    d[[i, j]] = d[[j, i]]
    b = bvals.copy()
    b[[i, j]] = b[[j, i]]
    out.append(("swap_two", d, b, "swapped_rows", sorted([i, j])))
    d, b = dirs.copy(), bvals.copy()
    d[dw] = np.roll(dirs[dw], 1, axis=0)
    b[dw] = np.roll(bvals[dw], 1)
    out.append(("shift_one", d, b, "shifted_rows", None))
    out.append(("rotate_30_oblique", dirs @ rotation([1.0, 2.0, 3.0], 30.0).T, bvals,
                "foreign_table", None))
    # A table of another scheme with the same count: directions that have nothing to do with
    # the signal.
    d = dirs.copy()
    other = np.random.default_rng(97).normal(size=(n, 3))
    d[dw] = other / np.linalg.norm(other, axis=1, keepdims=True)
    out.append(("other_scheme", d, bvals, "foreign_table", None))
    if multishell:
        b = bvals.copy()
        low = [t for t in dw if bvals[t] < 1500]
        v = low[len(low) // 3]
        b[v] *= 2
        out.append(("b_doubled", dirs, b, "b_value", [v]))
    return out
