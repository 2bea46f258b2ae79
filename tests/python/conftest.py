"""Synthetic DWI phantoms with known fibre directions, and gradient tables written as text.

`make_phantom` is importable by other test modules (``from conftest import make_phantom``) and
is also offered as the `phantom` fixture.
"""

from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

# matplotlib's compiled font module throws C++ exceptions while it is imported, and the ASan
# runtime preloaded by scripts/test-asan aborts on them (an internal CHECK in its __cxa_throw
# interceptor): figures are tested in the plain run only.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_matplotlib = pytest.mark.skipif(UNDER_ASAN, reason="matplotlib aborts under preloaded ASan")
# Options that keep a command line away from figures under ASan.
NO_FIGURES_UNDER_ASAN = ("--no-qc",) if UNDER_ASAN else ()

# Eigenvalues of a white-matter-like tensor, mm^2/s.
LAMBDA_PARALLEL = 1.7e-3
LAMBDA_PERPENDICULAR = 0.3e-3
S0 = 1000.0
B_VALUE = 1000.0

# The default affine has a negative determinant: its FSL-to-voxel map is the identity, so the
# bvec written for it is the voxel-frame direction set unchanged.
DEFAULT_AFFINE = np.array(
    [[-2.0, 0.0, 0.0, 20.0], [0.0, 2.0, 0.0, -20.0], [0.0, 0.0, 2.0, -8.0], [0.0, 0.0, 0.0, 1.0]]
)


def sphere_directions(n: int) -> np.ndarray:
    """n unit vectors spread over a hemisphere (golden-angle spiral), shape (n, 3)."""
    i = np.arange(n) + 0.5
    z = 1.0 - i / n
    phi = np.pi * (1.0 + 5.0**0.5) * i
    r = np.sqrt(1.0 - z * z)
    return np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)


def fibre_field(shape: tuple[int, int, int], twist: float = 1.0) -> np.ndarray:
    """A twisted-plywood field: unit directions of shape shape + (3,).

    Every fibre is straight and lies in a plane perpendicular to n = (1, 2, 3)/sqrt(14); the
    fibre angle turns by `twist` radians per voxel along n. Walking along a fibre therefore
    meets the same direction, while a sign change or a swap of any axis steps across the
    planes and meets a turned direction; n has no symmetry under axis swaps, so every wrong
    candidate loses coherence.
    """
    n = np.array([1.0, 2.0, 3.0]) / np.sqrt(14.0)
    a = np.array([2.0, -1.0, 0.0]) / np.sqrt(5.0)
    b = np.cross(n, a)
    grid = np.stack(np.meshgrid(*[np.arange(k) for k in shape], indexing="ij"), axis=-1)
    angle = twist * (grid.astype(float) @ n)
    return np.cos(angle)[..., None] * a + np.sin(angle)[..., None] * b


def synthesize(field: np.ndarray, bvecs: np.ndarray, bvals: np.ndarray) -> np.ndarray:
    """Noise-free signal S0·exp(-b gᵀDg) of a cylindrical tensor along each voxel's fibre."""
    cos = np.einsum("xyzc,nc->xyzn", field, bvecs)
    adc = LAMBDA_PERPENDICULAR + (LAMBDA_PARALLEL - LAMBDA_PERPENDICULAR) * cos**2
    return (S0 * np.exp(-bvals[None, None, None, :] * adc)).astype(np.float32)


def write_fsl(path_bvec: Path, path_bval: Path, bvecs: np.ndarray, bvals: np.ndarray) -> None:
    rows = [" ".join(f"{v:.6f}" for v in bvecs[:, axis]) for axis in range(3)]
    path_bvec.write_text("\n".join(rows) + "\n")
    path_bval.write_text(" ".join(f"{b:g}" for b in bvals) + "\n")


def write_mrtrix(path: Path, bvecs: np.ndarray, bvals: np.ndarray) -> None:
    lines = [f"{g[0]:.6f} {g[1]:.6f} {g[2]:.6f} {b:g}" for g, b in zip(bvecs, bvals)]
    path.write_text("\n".join(lines) + "\n")


def make_phantom(
    tmp_path: Path,
    flip_axis: int | None = None,
    shape: tuple[int, int, int] = (8, 8, 8),
    n_dirs: int = 30,
    n_b0: int = 3,
    affine: np.ndarray | None = None,
    name: str = "dwi",
    gz: bool = True,
    twist: float = 1.0,
) -> dict[str, str]:
    """Writes a phantom DWI with its tables and mask under tmp_path; returns the paths as str.

    Keys: dwi, bvec, bval, grad, mask (paths), plus nothing else. With `flip_axis` (0, 1 or 2)
    the written bvec and grad carry that axis negated, as a mis-oriented table would. The grad
    file holds the world-frame directions of the same acquisition.
    """
    tmp_path = Path(tmp_path)
    tmp_path.mkdir(parents=True, exist_ok=True)
    affine = DEFAULT_AFFINE if affine is None else np.asarray(affine, dtype=float)
    dirs = sphere_directions(n_dirs)
    bvecs = np.vstack([np.zeros((n_b0, 3)), dirs])
    bvals = np.concatenate([np.zeros(n_b0), np.full(n_dirs, B_VALUE)])
    data = synthesize(fibre_field(shape, twist), bvecs, bvals)

    # Voxel-frame directions to FSL (first axis reversed for a positive determinant) and world.
    fsl = bvecs.copy()
    if np.linalg.det(affine[:3, :3]) > 0:
        fsl[:, 0] = -fsl[:, 0]
    rotation = affine[:3, :3] / np.linalg.norm(affine[:3, :3], axis=0)
    world = bvecs @ rotation.T
    if flip_axis is not None:
        fsl[:, flip_axis] = -fsl[:, flip_axis]
        world[:, flip_axis] = -world[:, flip_axis]

    ext = ".nii.gz" if gz else ".nii"
    paths = {
        "dwi": tmp_path / f"{name}{ext}",
        "bvec": tmp_path / f"{name}.bvec",
        "bval": tmp_path / f"{name}.bval",
        "grad": tmp_path / f"{name}.b",
        "mask": tmp_path / f"{name}_mask{ext}",
    }
    nib.save(nib.Nifti1Image(data, affine), paths["dwi"])
    nib.save(nib.Nifti1Image(np.ones(shape, dtype=np.uint8), affine), paths["mask"])
    write_fsl(paths["bvec"], paths["bval"], fsl, bvals)
    write_mrtrix(paths["grad"], world, bvals)
    return {k: str(v) for k, v in paths.items()}


def sha256(path: str | Path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def loads_ordered(text: str):
    """json.loads keeping every object's key order as a list of pairs."""
    return json.loads(text, object_pairs_hook=lambda pairs: pairs)


def without_timestamp(text: str) -> dict:
    report = json.loads(text)
    report.pop("timestamp", None)
    return report


@pytest.fixture
def phantom(tmp_path):
    return make_phantom(tmp_path)


@pytest.fixture
def table_files(tmp_path):
    """A 2-shell FSL pair and the equivalent MRtrix file (no image)."""
    dirs = sphere_directions(32)
    bvecs = np.vstack([np.zeros((2, 3)), dirs, dirs])
    bvals = np.concatenate([np.zeros(2), np.full(32, 1000.0), np.full(32, 2000.0)])
    paths = {"bvec": tmp_path / "t.bvec", "bval": tmp_path / "t.bval", "grad": tmp_path / "t.b"}
    write_fsl(paths["bvec"], paths["bval"], bvecs, bvals)
    write_mrtrix(paths["grad"], bvecs, bvals)
    return {k: str(v) for k, v in paths.items()}


REAL_DWI = Path(__file__).resolve().parents[1] / "data" / "realdwi"


def real_bids_run(root: Path, sub: str, scan: str = "uih_dti16_ax", ses: str | None = "1",
                  flip_x: bool = False, noise: float | None = None, seed: int = 0,
                  flip_volumes: tuple[int, ...] = ()) -> Path:
    """One run of a vendored real scan in BIDS layout (its mask beside it as brain_mask), with
    the bvec's x row negated (only in `flip_volumes`, when given) and Rician noise of `noise` ×
    the mean b0 signal in the mask."""
    src = REAL_DWI / scan
    folder = root / f"sub-{sub}" / (f"ses-{ses}" if ses else "") / "dwi"
    folder.mkdir(parents=True, exist_ok=True)
    stem = f"sub-{sub}" + (f"_ses-{ses}" if ses else "")
    dwi = folder / f"{stem}_dwi.nii.gz"
    if noise is None:
        dwi.write_bytes((src / "dwi.nii.gz").read_bytes())
    else:
        img = nib.load(src / "dwi.nii.gz")
        data = img.get_fdata(dtype=np.float32)
        bvals = np.loadtxt(src / "dwi.bval")
        mask = nib.load(src / "mask.nii.gz").get_fdata() > 0
        sigma = noise * data[..., bvals <= 50].mean(-1)[mask].mean()
        rng = np.random.default_rng(seed)
        noisy = np.hypot(data + rng.normal(0, sigma, data.shape), rng.normal(0, sigma, data.shape))
        nib.save(nib.Nifti1Image(noisy.astype(np.float32), img.affine, img.header), dwi)
    bvec = np.loadtxt(src / "dwi.bvec")
    if flip_x:
        bvec[0] = -bvec[0]
    bvec[0, list(flip_volumes)] *= -1
    write_fsl(folder / f"{stem}_dwi.bvec", folder / f"{stem}_dwi.bval", bvec.T, np.loadtxt(src / "dwi.bval"))
    (folder / f"{stem}_dwi.json").write_bytes((src / "dwi.json").read_bytes())
    (folder / f"{stem}_brain_mask.nii.gz").write_bytes((src / "mask.nii.gz").read_bytes())
    (root / "dataset_description.json").write_text('{"Name": "real", "BIDSVersion": "1.9.0"}')
    return dwi
