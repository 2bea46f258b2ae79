"""The orivex Python API used as in a notebook: Path objects, arrays, report attributes, JSON."""

import ast
import doctest
import inspect as pyinspect
import json
import math
import os
import tempfile
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest
from dipy.io.gradients import read_bvals_bvecs

import _orivex
import orivex
from orivex import Status
from conftest import make_phantom

STUBS = Path(__file__).resolve().parents[2] / "python" / "_orivex-stubs" / "__init__.pyi"


def same_text(api_text, module_text):
    """Equal texts once each one's own timestamp is set aside (the only value that may differ)."""
    strip = lambda t: t.replace(json.loads(t)["timestamp"], "")  # noqa: E731
    return strip(api_text) == strip(module_text)


@pytest.fixture
def flipped(tmp_path):
    return {k: Path(v) for k, v in make_phantom(tmp_path, flip_axis=0).items()}


def test_audit_with_paths_gives_the_module_report(flipped):
    report = orivex.audit(flipped["dwi"], flipped["bvec"], flipped["bval"])
    module = _orivex.audit(bvec=str(flipped["bvec"]), bval=str(flipped["bval"]), dwi=str(flipped["dwi"]))
    assert same_text(report.to_json(), module)
    assert orivex.Report.from_json(module).to_json() == module
    assert report.to_dict() == json.loads(report.to_json())
    assert json.loads(report.to_json(pretty=True)) == report.to_dict()

    d = report.to_dict()
    assert report.status is Status.FLAG and report.status == "FLAG"
    assert [f.path for f in report.inputs] == [str(flipped["bvec"]), str(flipped["bval"])]
    assert report.flip.decision is Status.FLAG and len(report.flip.ranking) == 48
    assert report.flip.best.label == report.recommended_label == "-x+y+z"
    assert report.recommended_transform == ((-1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))
    assert report.flip.ranking[0].coherence == d["flip"]["ranking"][0]["coherence"]
    assert [(s.nominal_b, s.count, s.is_b0) for s in report.shells.shells] == [(0.0, 3, True), (1000.0, 30, False)]
    assert report.b0_drift.indices == (0, 1, 2)
    assert report.angular.shells[0].condition_number == d["angular"]["shells"][0]["condition_number"]
    assert report.norm_stats.non_b0_count == 30 and report.notes == ()
    assert report.repair is report.tracking is report.verdict is None
    assert report.timings is None and report.qc_data is None

    html = report._repr_html_()
    assert "FLAG" in html and "-x+y+z" in html and "b=1000 ×30" in html


def test_profile_and_qc_data(flipped):
    report = orivex.audit(flipped["dwi"], flipped["bvec"], flipped["bval"], profile=True, qc_data=True)
    assert set(report.timings) == {"threads", "decompress", "convert", "fit", "coherence", "other", "total"}
    assert report.qc_data["shape"] == [8, 8, 8] and len(report.qc_data["fa"]) == 4 * 512
    flip = orivex.detect_flip(flipped["dwi"], flipped["bvec"], flipped["bval"], qc_data=True)
    assert flip.shells is None and flip.qc_data["frame_map"] == report.qc_data["frame_map"]
    with pytest.raises(TypeError, match="need a dwi"):
        orivex.audit(bvec=flipped["bvec"], bval=flipped["bval"], profile=True)


def test_arrays_as_dipy_and_nibabel_give_them(flipped):
    """Arrays read by dipy, laid out either way, and the grad table as an array: the module sees
    exactly the numbers given, and the report equals the one from the files."""
    bvals, bvecs = read_bvals_bvecs(str(flipped["bval"]), str(flipped["bvec"]))
    from_files = orivex.audit(flipped["dwi"], flipped["bvec"], flipped["bval"]).to_dict()
    for vecs in (bvecs, bvecs.T, bvecs.tolist()):
        report = orivex.audit(flipped["dwi"], vecs, bvals)
        assert report.scheme.directions == tuple(map(tuple, bvecs))
        assert report.scheme.bvals == tuple(bvals)
        assert all(not os.path.exists(f.path) for f in report.inputs)  # the temporary pair is gone
        d = report.to_dict()
        for key in ("inputs", "timestamp"):
            d.pop(key), from_files.pop(key, None)
        assert d == from_files

    grad = np.loadtxt(flipped["grad"])
    assert orivex.inspect(grad=grad.astype(np.float32)).scheme.bvals == tuple(grad[:, 3])
    assert orivex.inspect(grad=flipped["grad"]).scheme.directions == tuple(map(tuple, grad[:, :3]))

    # Values that need every digit survive the file round trip; a non-finite one is refused as
    # it is in a file.
    odd = [0.0, 1e-05, 1000.0000000001, 3.0e300, 2000.0]
    report = orivex.inspect([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1], [0.6, 0.8, 0]], odd)
    assert report.scheme.bvals == tuple(odd)
    with pytest.raises(ValueError, match='not a finite number: "inf"'):
        orivex.inspect([[0, 0, 0], [1, 0, 0]], [0.0, math.inf])


def test_volumes_loaded_with_nibabel(flipped, tmp_path):
    """A mask made in the notebook with nibabel (half the grid) and passed as a Path."""
    img = nib.load(flipped["dwi"])
    half = np.zeros(img.shape[:3], np.uint8)
    half[:4] = 1
    mask = tmp_path / "brain.nii.gz"
    nib.save(nib.Nifti1Image(half, img.affine), mask)
    whole = orivex.detect_flip(flipped["dwi"], flipped["bvec"], flipped["bval"])
    masked = orivex.detect_flip(flipped["dwi"], flipped["bvec"], flipped["bval"], mask=mask)
    assert 0 < masked.flip.n_wm_voxels <= half.sum() < whole.flip.n_wm_voxels


def test_errors_are_the_module_errors(flipped, tmp_path):
    with pytest.raises(ValueError, match=r"^provide bvec and bval, or grad$"):
        orivex.inspect()
    missing = tmp_path / "missing.bval"
    with pytest.raises(ValueError) as api:
        orivex.inspect(flipped["bvec"], missing)
    with pytest.raises(ValueError) as module:
        _orivex.inspect(str(flipped["bvec"]), str(missing))
    assert str(api.value) == str(module.value)
    with pytest.raises(ValueError, match=r"^volume mismatch: 32 gradients but 33 DWI volumes$"):
        orivex.detect_flip(flipped["dwi"], np.zeros((32, 3)), np.zeros(32))
    with pytest.raises(ValueError, match=r"^bvec must be an array of shape \(N, 3\) or \(3, N\)$"):
        orivex.inspect(np.zeros((4, 5)), np.zeros(5))
    with pytest.raises(ValueError, match=r"^bval must be an array of shape \(N,\)$"):
        orivex.inspect(np.zeros((5, 3)), np.zeros((2, 5)))
    with pytest.raises(TypeError, match="dwi must be a path"):
        orivex.detect_flip(3, flipped["bvec"], flipped["bval"])
    with pytest.raises(TypeError, match="bval: expected a number"):
        orivex.inspect(np.zeros((2, 3)), [0, "1000"])
    assert list(Path(tempfile.gettempdir()).glob("orivex-table-*")) == []


def test_repair_and_recompute_write_to_paths(flipped, tmp_path):
    out = tmp_path / "fixed"
    report = orivex.repair(flipped["dwi"], flipped["bvec"], flipped["bval"], out_bvec=out.with_suffix(".bvec"),
                           out_bval=out.with_suffix(".bval"), provenance=tmp_path / "prov.json")
    assert report.repair.label == "-x+y+z"
    assert report.repair.outputs == (str(out.with_suffix(".bvec")), str(out.with_suffix(".bval")))
    again = orivex.audit(flipped["dwi"], out.with_suffix(".bvec"), out.with_suffix(".bval"))
    assert again.status is Status.PASS

    s = orivex.recompute_bval(np.array([[0, 0, 0], [0.5, 0, 0], [0, 0, 1.0]]), [0, 1000, 1000],
                              out_bvec=tmp_path / "u.bvec", out_bval=tmp_path / "u.bval")
    assert [(c.nominal_b, c.count) for c in s.after] == [(0.0, 1), (250.0, 1), (1000.0, 1)]
    assert s.outputs == (str(tmp_path / "u.bvec"), str(tmp_path / "u.bval"))
    assert (tmp_path / "u.bval").read_text().split() == ["0", "250", "1000"]
    assert json.loads(s.to_json()) == s.to_dict() and "b=250 ×1" in s._repr_html_()


def test_bids(tmp_path):
    for sub, flip in (("sub-01", None), ("sub-02", 1)):
        p = make_phantom(tmp_path / sub / "dwi", flip_axis=flip, name=f"{sub}_dwi")
        os.remove(p["grad"]), os.remove(p["mask"])
    summary = orivex.bids(tmp_path)
    assert summary.status is Status.FLAG and summary.exit_code == 0
    assert [(r.name, r.status) for r in summary.results] == [("sub-01_dwi", "PASS"), ("sub-02_dwi", "FLAG")]
    first = orivex.Report.from_json(Path(summary.summary_path).with_name("sub-01_dwi_report.json").read_text())
    assert first.status is Status.PASS and first.flip.decision is Status.PASS


def test_status_orders_by_severity():
    assert Status.PASS < Status.WARN < Status.FLAG and max(Status) is Status.FLAG
    assert sorted(["FLAG", "PASS", "WARN"], key=Status) == ["PASS", "WARN", "FLAG"]
    assert str(Status.WARN) == "WARN" and f"{Status.WARN}" == "WARN"


def test_tracking_and_verdict_sections_when_present(flipped):
    d = json.loads(_orivex.detect_flip(str(flipped["dwi"]), str(flipped["bvec"]), str(flipped["bval"])))
    eye, xflip = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    d["tracking"] = {"candidates": [{"label": "-x+y+z", "matrix": xflip, "mean_length_mm": 31.5},
                                    {"label": "+x+y+z", "matrix": eye, "mean_length_mm": 18.0}],
                     "seeds": 2000, "seed_voxels": 512, "step_mm": 1.0, "region_voxels": 512, "region": "otsu"}
    d["verdict"] = {"decision": "FLAG", "recommended_label": "-x+y+z", "recommended_transform": xflip,
                    "relative_margin": 0.75, "given_rank": 2, "evidence": {"decided_by": "tracking"},
                    "reasons": ["tracking"]}
    report = orivex.Report.from_json(json.dumps(d))
    assert report.tracking.candidates[0].mean_length_mm == 31.5 and report.tracking.seeds == 2000
    assert report.verdict.decision is Status.FLAG and report.verdict.given_rank == 2
    assert report.recommended_transform == tuple(map(tuple, xflip))
    assert "ranks 2 of 2" in report._repr_html_()


def test_stubs_match_the_module():
    """Every function of _orivex is in the stubs with its exact parameters and defaults."""
    tree = ast.parse(STUBS.read_text())
    stubs = {f.name: f.args for f in tree.body if isinstance(f, ast.FunctionDef)}
    public = {n for n in dir(_orivex) if callable(getattr(_orivex, n)) and not n.startswith("_")}
    assert set(stubs) == public and len(public) == 13
    for name, args in stubs.items():
        sig = pyinspect.signature(getattr(_orivex, name))
        assert [a.arg for a in args.args] == list(sig.parameters), name
        defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
        expected = [None if p.default is p.empty else p.default for p in sig.parameters.values()]
        assert defaults == expected, name


def test_docstring_examples_run():
    for module in (orivex.api, orivex.report):
        assert doctest.testmod(module).failed == 0, module.__name__
