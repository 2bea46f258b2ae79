"""The glyph functions and their payload, cross-checked against nibabel and dipy."""

import json
import struct

import nibabel as nib
import numpy as np
import pytest

import _orivex
from conftest import make_phantom, without_timestamp

KEYS = ["shape", "affine", "voxel_sizes", "frame_map", "v1", "fa", "s0", "mask"]


def fsl(p, **kw):
    return dict(bvec=p["bvec"], bval=p["bval"], **kw)


def f32(data: bytes, n: int) -> np.ndarray:
    return np.frombuffer(data, dtype="<f4", count=n)


@pytest.fixture
def small(tmp_path):
    return make_phantom(tmp_path, shape=(2, 3, 4))


def test_payload_layout(small):
    text, payload = _orivex.audit_with_glyphs(small["dwi"], **fsl(small), step=0.5)
    json.loads(text)
    assert list(payload) == KEYS
    assert payload["shape"] == [2, 3, 4]
    assert len(payload["v1"]) == 288
    assert len(payload["fa"]) == len(payload["s0"]) == 96
    assert len(payload["mask"]) == 24
    assert set(payload["mask"]) <= {0, 1}
    assert all(type(v) is float for row in payload["affine"] for v in row)
    assert payload["voxel_sizes"] == [2.0, 2.0, 2.0]


def test_payload_affine_matches_nibabel(phantom):
    payload = _orivex.detect_flip_with_glyphs(phantom["dwi"], **fsl(phantom))[1]
    img = nib.load(phantom["dwi"])
    np.testing.assert_allclose(np.array(payload["affine"]), img.affine, rtol=0, atol=1e-6)
    np.testing.assert_allclose(payload["voxel_sizes"], img.header.get_zooms()[:3])


def test_tensor_fit_agrees_with_dipy(phantom):
    from dipy.core.gradients import gradient_table
    from dipy.io.gradients import read_bvals_bvecs
    from dipy.reconst.dti import TensorModel

    payload = _orivex.audit_with_glyphs(phantom["dwi"], **fsl(phantom))[1]
    nx, ny, nz = payload["shape"]
    n = nx * ny * nz
    fa = f32(payload["fa"], n).reshape(nx, ny, nz)
    v1 = f32(payload["v1"], 3 * n).reshape(nx, ny, nz, 3)
    s0 = f32(payload["s0"], n).reshape(nx, ny, nz)

    bvals, bvecs = read_bvals_bvecs(phantom["bval"], phantom["bvec"])
    gtab = gradient_table(bvals, bvecs=bvecs)
    data = nib.load(phantom["dwi"]).get_fdata()
    fit = TensorModel(gtab, fit_method="LS").fit(data)

    np.testing.assert_allclose(fa, fit.fa, atol=1e-3)
    cos = np.abs(np.einsum("xyzc,xyzc->xyz", v1, fit.evecs[..., :, 0]))
    assert cos.min() > 0.999
    np.testing.assert_allclose(s0, data[..., :3].mean(axis=-1), rtol=1e-5)


def test_voxel_order_is_z_fastest(small):
    payload = _orivex.audit_with_glyphs(small["dwi"], **fsl(small))[1]
    s0 = f32(payload["s0"], 24)
    data = nib.load(small["dwi"]).get_fdata()
    # Voxel (0, 0, 0), then (0, 0, 1): the flattened order is C order of (x, y, z).
    np.testing.assert_allclose(s0, data[..., :3].mean(axis=-1).reshape(-1), rtol=1e-6)
    fa = f32(payload["fa"], 24)
    assert struct.unpack("<f", payload["fa"][:4])[0] == fa[0]


def test_twins_give_the_same_text(phantom, tmp_path):
    # One worker: the coherence reduction then adds in a fixed order.
    args = fsl(phantom, threads=1)
    pairs = [
        (_orivex.audit_with_glyphs(phantom["dwi"], **args)[0],
         _orivex.audit(dwi=phantom["dwi"], **args)),
        (_orivex.detect_flip_with_glyphs(phantom["dwi"], **args)[0],
         _orivex.detect_flip(phantom["dwi"], **args)),
        (_orivex.repair_with_glyphs(phantom["dwi"], str(tmp_path / "a"), str(tmp_path / "b"),
                                    dry_run=True, **args)[0],
         _orivex.repair(phantom["dwi"], str(tmp_path / "a"), str(tmp_path / "b"),
                        dry_run=True, **args)),
    ]
    for glyph_text, text in pairs:
        assert without_timestamp(glyph_text) == without_timestamp(text)


def test_profiled_with_glyphs_is_a_triple(phantom):
    result = _orivex.audit_profiled_with_glyphs(phantom["dwi"], **fsl(phantom), threads=2)
    assert isinstance(result, tuple) and len(result) == 3
    text, timings, payload = result
    json.loads(text)
    assert timings["threads"] == 2.0
    assert list(payload) == KEYS


def test_no_usable_shell_gives_no_payload(tmp_path):
    p = make_phantom(tmp_path)
    (tmp_path / "b0.bval").write_text(" ".join(["0"] * 33) + "\n")
    args = dict(bvec=p["bvec"], bval=str(tmp_path / "b0.bval"))
    for call in (_orivex.detect_flip, _orivex.detect_flip_with_glyphs):
        with pytest.raises(ValueError) as info:
            call(p["dwi"], **args)
        assert str(info.value) == "no usable non-b0 shell for flip detection"
