"""audit, detect_flip and audit_profiled on the phantom."""

import json

import nibabel as nib
import numpy as np
import pytest

import _orivex
from conftest import make_phantom, sha256, without_timestamp

TIMING_KEYS = {"threads", "decompress", "convert", "fit", "coherence", "other", "total"}


def fsl(p, **kw):
    return dict(bvec=p["bvec"], bval=p["bval"], **kw)


def test_consistent_table_passes(phantom):
    report = json.loads(_orivex.audit(**fsl(phantom), dwi=phantom["dwi"], mask=phantom["mask"]))
    assert report["status"] == "PASS"
    assert report["flip"]["decision"] == "PASS"
    assert report["flip"]["best"]["label"] == "+x+y+z"
    # The DWI is not digested; the mask is not a table input either.
    assert [i["path"] for i in report["inputs"]] == [phantom["bvec"], phantom["bval"]]


@pytest.mark.parametrize("axis, label", [(0, "-x+y+z"), (1, "+x-y+z"), (2, "-x-y+z")])
def test_flipped_table_is_flagged_in_both_forms(tmp_path, axis, label):
    p = make_phantom(tmp_path, flip_axis=axis)
    for args in (fsl(p), {"grad": p["grad"]}):
        report = json.loads(_orivex.detect_flip(p["dwi"], **args))
        assert report["status"] == "FLAG"
        assert report["flip"]["recommended_label"] == label


def test_grad_and_fsl_use_different_frame_maps(tmp_path):
    # A positive-determinant affine: the FSL map reverses x, the world map is the identity.
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    p = make_phantom(tmp_path, affine=affine)
    a = _orivex.audit_with_glyphs(p["dwi"], **fsl(p))[1]["frame_map"]
    b = _orivex.audit_with_glyphs(p["dwi"], grad=p["grad"])[1]["frame_map"]
    assert a == [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert b == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


def test_audit_without_dwi_equals_inspect(phantom):
    a = without_timestamp(_orivex.audit(**fsl(phantom), step=3.0, margin_threshold=5.0))
    b = without_timestamp(_orivex.inspect(**fsl(phantom)))
    assert a == b


def test_margin_threshold_checked_only_with_dwi(phantom):
    with pytest.raises(ValueError) as info:
        _orivex.audit(**fsl(phantom), dwi=phantom["dwi"], margin_threshold=5)
    assert str(info.value) == "margin threshold must be finite and in (0, 1]: 5"
    with pytest.raises(ValueError, match=r"\(0, 1\]: NaN$"):
        _orivex.audit(**fsl(phantom), dwi=phantom["dwi"], margin_threshold=float("nan"))
    with pytest.raises(ValueError, match=r"\(0, 1\]: 0$"):
        _orivex.detect_flip(phantom["dwi"], **fsl(phantom), margin_threshold=0.0)
    json.loads(_orivex.audit(**fsl(phantom), dwi=phantom["dwi"], margin_threshold=1))


def test_mask_is_read_even_without_dwi(phantom, tmp_path):
    with pytest.raises(ValueError, match="^NIfTI error: "):
        _orivex.audit(**fsl(phantom), mask=str(tmp_path / "missing.nii.gz"))


def test_order_of_failures(phantom, tmp_path):
    missing = str(tmp_path / "missing.nii.gz")
    with pytest.raises(ValueError, match="^provide bvec and bval, or grad$"):
        _orivex.detect_flip(missing, mask=missing)
    with pytest.raises(ValueError, match="^NIfTI error: "):
        _orivex.detect_flip(missing, **fsl(phantom), mask=missing)
    with pytest.raises(ValueError, match="^NIfTI error: "):
        _orivex.audit_profiled(phantom["dwi"], **fsl(phantom), mask=missing)


def test_volume_mismatch_from_all_three(phantom, tmp_path):
    bval = tmp_path / "short.bval"
    bvec = tmp_path / "short.bvec"
    rows = [line.split()[:-1] for line in open(phantom["bvec"]).read().splitlines()]
    bvec.write_text("\n".join(" ".join(r) for r in rows) + "\n")
    bval.write_text(" ".join(open(phantom["bval"]).read().split()[:-1]) + "\n")
    args = dict(bvec=str(bvec), bval=str(bval))
    expected = "volume mismatch: 32 gradients but 33 DWI volumes"
    for call in (
        lambda: _orivex.audit(dwi=phantom["dwi"], **args),
        lambda: _orivex.detect_flip(phantom["dwi"], **args),
        lambda: _orivex.audit_profiled(phantom["dwi"], **args),
    ):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == expected


def test_mask_grid_mismatch(phantom, tmp_path):
    small = str(tmp_path / "small_mask.nii")
    nib.save(nib.Nifti1Image(np.ones((2, 2, 2), np.uint8), np.eye(4)), small)
    with pytest.raises(ValueError) as info:
        _orivex.audit(**fsl(phantom), dwi=phantom["dwi"], mask=small)
    assert str(info.value) == "mask grid mismatch: mask has 8 voxels but the DWI grid has 512"


def test_default_step_from_voxel_sizes(tmp_path):
    # 2 mm voxels: default step 2.0, so an explicit 2.0 gives the same ranking.
    p = make_phantom(tmp_path)
    args = fsl(p, threads=1)
    a = json.loads(_orivex.detect_flip(p["dwi"], **args))["flip"]["ranking"]
    b = json.loads(_orivex.detect_flip(p["dwi"], **args, step=2.0))["flip"]["ranking"]
    c = json.loads(_orivex.detect_flip(p["dwi"], **args, step=0.5))["flip"]["ranking"]
    assert a == b
    assert a != c


def test_audit_profiled(phantom):
    # One worker on both sides: the coherence reduction then adds in a fixed order.
    text = _orivex.audit_profiled(phantom["dwi"], **fsl(phantom), threads=1)[0]
    assert without_timestamp(text) == without_timestamp(
        _orivex.audit(**fsl(phantom), dwi=phantom["dwi"], threads=1)
    )
    timings = _orivex.audit_profiled(phantom["dwi"], **fsl(phantom), threads=3)[1]
    assert set(timings) == TIMING_KEYS
    assert all(type(v) is float for v in timings.values())
    assert timings["threads"] == 3.0
    assert timings["other"] >= 0.0
    assert timings["total"] >= timings["decompress"] + timings["convert"] - 1e-9


def test_profiled_threads_of_the_default_pool(phantom):
    import os

    timings = _orivex.audit_profiled(phantom["dwi"], **fsl(phantom))[1]
    assert timings["threads"] == float(len(os.sched_getaffinity(0)))


def test_threads_do_not_change_the_decision(phantom):
    reports = [
        json.loads(_orivex.audit(**fsl(phantom), dwi=phantom["dwi"], threads=n))
        for n in (1, 2, 5)
    ]
    assert len({r["flip"]["best"]["label"] for r in reports}) == 1
    assert len({r["flip"]["n_wm_voxels"] for r in reports}) == 1


def test_inputs_digest_what_was_read(phantom):
    report = json.loads(_orivex.audit(grad=phantom["grad"], dwi=phantom["dwi"]))
    assert report["inputs"][0]["sha256"] == sha256(phantom["grad"])


@pytest.mark.parametrize("flip_axis, expected", [(None, None), (0, "-x+y+z")])
def test_positive_determinant_affine_in_both_forms(tmp_path, flip_axis, expected):
    # Here the FSL bvec has its x axis reversed against the voxel grid, the grad file does not.
    p = make_phantom(tmp_path, flip_axis=flip_axis, affine=np.diag([2.0, 2.0, 2.0, 1.0]))
    for args in (fsl(p), {"grad": p["grad"]}):
        flip = json.loads(_orivex.detect_flip(p["dwi"], **args))["flip"]
        assert flip["recommended_label"] == expected
