"""Flip detection against every one of the 48 axis corruptions, on a brain-like phantom and on
two real clinical acquisitions.

A table corrupted by T (every direction g replaced by T·g) is repaired by T⁻¹ or its negation,
so a FLAG must recommend a matrix R with R·T = ±I. The phantom's fibres are gently curved arcs
bending in the xy, xz and yz planes, thick straight segments oblique to every axis and a
crossing, all tilted enough out of each coordinate plane that every sign change and axis swap
turns some bundle across its own width.
"""

from __future__ import annotations

import json
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

import _orivex
from detector_phantom import (
    brain_phantom,
    candidates,
    fsl_voxel_map,
    oblique_affine,
    undoes,
    world_rotation,
    write_fsl,
    write_grad,
)

IDENTITY = np.eye(3)
REAL = Path(__file__).resolve().parents[1] / "data" / "realdwi"
THRESHOLD = 0.02


def table_in_frame(voxel_dirs: np.ndarray, affine: np.ndarray, form: str) -> np.ndarray:
    """The acquisition's directions as a file of `form` would hold them for this image."""
    if form == "grad":
        return voxel_dirs @ world_rotation(affine).T
    # F is its own inverse, so the FSL direction is F·(voxel direction).
    return voxel_dirs @ fsl_voxel_map(affine).T


def coherence_flip(dwi, **kw):
    return json.loads(_orivex.detect_flip(dwi, **kw))["flip"]


def sweep(work: Path, data, voxel_dirs, bvals, affine, form, mask=None, corruptions=None,
          detect=coherence_flip):
    """`detect` on the table corrupted by each candidate T; returns (label, T, its result)."""
    work.mkdir(parents=True, exist_ok=True)
    dwi = work / "dwi.nii"
    nib.save(nib.Nifti1Image(data, affine), dwi)
    true_dirs = table_in_frame(voxel_dirs, affine, form)
    rows = []
    for label, t in corruptions or candidates():
        dirs = true_dirs @ t.T
        if form == "grad":
            write_grad(work / "t.b", dirs, bvals)
            tables = {"grad": str(work / "t.b")}
        else:
            write_fsl(work / "t.bvec", work / "t.bval", dirs, bvals)
            tables = {"bvec": str(work / "t.bvec"), "bval": str(work / "t.bval")}
        rows.append((label, t, detect(str(dwi), **tables, mask=mask, threads=2)))
    return rows


def describe(label, flip) -> str:
    return (
        f"corruption {label}: {flip['decision']} best {flip['best']['label']} runner-up "
        f"{flip['runner_up']['label']} relative margin {flip['relative_margin']:.4f}"
    )


@pytest.fixture(scope="module")
def phantom():
    return brain_phantom(shape=(40, 40, 20), n_dirs=40, n_b0=4, snr=20.0)


# An oblique negative-determinant image read from bvec/bval (its FSL frame is the voxel frame),
# and an oblique positive-determinant image read from a world-frame grad file.
FORMS = [
    pytest.param("fsl", True, id="bvec-negative-determinant"),
    pytest.param("grad", False, id="grad-world-oblique"),
]


@pytest.mark.parametrize("form, negative", FORMS)
def test_every_corruption_is_flagged_and_undone(tmp_path, phantom, form, negative):
    affine = oblique_affine((2.0, 2.0, 2.0), negative=negative)
    assert (np.linalg.det(affine[:3, :3]) < 0) == negative
    rows = sweep(tmp_path, phantom.data, phantom.bvecs, phantom.bvals, affine, form)
    failures = []
    for label, t, flip in rows:
        if undoes(IDENTITY, t):
            # The true table, or every direction negated, which is the same set of axes.
            ok = flip["decision"] == "PASS" and flip["best"]["label"] == "+x+y+z"
        else:
            ok = flip["decision"] == "FLAG" and undoes(flip["recommended_transform"], t)
        if not ok:
            failures.append(describe(label, flip))
    assert not failures, "\n".join(failures)


@pytest.mark.parametrize(
    "shape, snr",
    [
        pytest.param((40, 40, 20), 5.0, id="snr5"),
        pytest.param((20, 20, 10), 20.0, id="coarse-4mm"),
        pytest.param((20, 20, 10), 8.0, id="coarse-4mm-snr8"),
    ],
)
def test_degraded_image_never_gives_a_wrong_answer(tmp_path, shape, snr):
    """A poorer image may lose the margin, but a corrupted table must never pass with a margin
    that the threshold would trust, nor be flagged with a repair that does not undo it."""
    voxel = 80.0 / shape[0]
    phantom = brain_phantom(shape=shape, n_dirs=40, n_b0=4, snr=snr)
    affine = oblique_affine((voxel, voxel, voxel), negative=True)
    rows = sweep(tmp_path, phantom.data, phantom.bvecs, phantom.bvals, affine, "fsl")
    failures = []
    for label, t, flip in rows:
        if undoes(IDENTITY, t):
            continue
        if flip["decision"] == "FLAG" and not undoes(flip["recommended_transform"], t):
            failures.append("wrong repair: " + describe(label, flip))
        if flip["decision"] == "PASS" and flip["relative_margin"] >= THRESHOLD:
            failures.append("trusted wrong table: " + describe(label, flip))
    assert not failures, "\n".join(failures)


# Real anatomy: correct tables as shipped. x flip, y flip and x-y swap are the corruptions seen
# in practice (an FSL/world first-axis mix-up, a vendor's phase-encode sign, a transposed table).
REAL_SETS = ["siemens_prisma_xa30_ax", "uih_dti16_ax"]
REAL_CORRUPTIONS = [(label, t) for label, t in candidates() if label in ("-x+y+z", "+x-y+z", "+y+x+z")]


def load_real(name):
    image = nib.load(REAL / name / "dwi.nii.gz")
    bvecs = np.loadtxt(REAL / name / "dwi.bvec").T
    bvals = np.loadtxt(REAL / name / "dwi.bval")
    voxel_dirs = bvecs @ fsl_voxel_map(image.affine).T
    return np.asarray(image.dataobj, dtype=np.float32), voxel_dirs, bvals, image.affine


@pytest.mark.parametrize("name", REAL_SETS)
def test_real_acquisition_as_given_passes(tmp_path, name):
    data, voxel_dirs, bvals, affine = load_real(name)
    corruptions = [("+x+y+z", IDENTITY)] + REAL_CORRUPTIONS
    rows = sweep(tmp_path, data, voxel_dirs, bvals, affine, "fsl", corruptions=corruptions)
    label, _, flip = rows[0]
    assert flip["decision"] == "PASS", describe(label, flip)
    assert flip["best"]["label"] == "+x+y+z"
    # On these 16- and 20-direction sets the margin is thin, so a corrupted table may come out
    # WARN rather than FLAG; either way the best candidate must be the one that undoes it.
    for label, t, flip in rows[1:]:
        assert flip["decision"] in ("FLAG", "WARN"), describe(label, flip)
        assert undoes(flip["best"]["matrix"], t), describe(label, flip)
