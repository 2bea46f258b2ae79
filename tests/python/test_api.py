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
from orivex import _native
from orivex import Status
from conftest import make_phantom

PYTHON = Path(__file__).resolve().parents[2] / "python"
STUBS = {_orivex: PYTHON / "_orivex-stubs" / "__init__.pyi", _native: PYTHON / "orivex" / "_native.pyi"}


def same_text(api_text, module_text):
    """Equal texts once each one's own timestamp is set aside (the only value that may differ)."""
    strip = lambda t: t.replace(json.loads(t)["timestamp"], "")  # noqa: E731
    return strip(api_text) == strip(module_text)


@pytest.fixture
def packaged():
    """The phantom shipped in the package, x-flipped: large enough for tracking to FLAG it."""
    data = PYTHON / "orivex" / "data" / "phantom"
    return data / "dwi.nii.gz", data / "dwi_xflip.bvec", data / "dwi.bval"


@pytest.fixture
def flipped(tmp_path):
    return {k: Path(v) for k, v in make_phantom(tmp_path, flip_axis=0).items()}


def test_audit_with_paths_gives_the_module_report(flipped):
    report = orivex.audit(flipped["dwi"], flipped["bvec"], flipped["bval"], evidence="coherence")
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
    files = (flipped["dwi"], flipped["bvec"], flipped["bval"])
    report = orivex.audit(*files, evidence="coherence", profile=True, qc_data=True)
    assert set(report.timings) == {"threads", "decompress", "convert", "fit", "coherence", "other", "total"}
    assert report.qc_data["shape"] == [8, 8, 8] and len(report.qc_data["fa"]) == 4 * 512
    flip = orivex.detect_flip(*files, evidence="coherence", qc_data=True)
    assert flip.shells is None and flip.qc_data["frame_map"] == report.qc_data["frame_map"]
    verdict = orivex.audit(*files, profile=True, qc_data=True, seeds=300)
    assert "tracking" in verdict.timings and verdict.qc_data["tracks"][0]["label"] == "+x+y+z"
    assert verdict.verdict.evidence.uncertainty.passes[0].seeds == 300
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

    # Values that need every digit survive the file round trip; a non-finite one is refused.
    odd = [0.0, 1e-05, 1000.0000000001, 3.0e300]
    report = orivex.inspect([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], odd)
    assert report.scheme.bvals == tuple(odd)
    with pytest.raises(ValueError, match='not a finite number: "inf"'):
        orivex.inspect([[0, 0, 0], [1, 0, 0]], [0, math.inf])


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
                           out_bval=out.with_suffix(".bval"), provenance=tmp_path / "prov.json",
                           evidence="coherence")
    assert report.repair.label == "-x+y+z"
    assert report.repair.outputs == (str(out.with_suffix(".bvec")), str(out.with_suffix(".bval")))
    again = orivex.audit(flipped["dwi"], out.with_suffix(".bvec"), out.with_suffix(".bval"), evidence="coherence")
    assert again.status is Status.PASS

    s = orivex.recompute_bval(np.array([[0, 0, 0], [0.5, 0, 0], [0, 0, 1.0]]), [0, 1000, 1000],
                              out_bvec=tmp_path / "u.bvec", out_bval=tmp_path / "u.bval")
    assert [(c.nominal_b, c.count) for c in s.after] == [(0.0, 1), (250.0, 1), (1000.0, 1)]
    assert s.outputs == (str(tmp_path / "u.bvec"), str(tmp_path / "u.bval"))
    assert (tmp_path / "u.bval").read_text().split() == ["0", "250", "1000"]
    assert json.loads(s.to_json()) == s.to_dict() and "b=250 ×1" in s._repr_html_()


def test_status_orders_by_severity():
    assert Status.PASS < Status.WARN < Status.FLAG and max(Status) is Status.FLAG
    assert sorted(["FLAG", "PASS", "WARN"], key=Status) == ["PASS", "WARN", "FLAG"]
    assert str(Status.WARN) == "WARN" and f"{Status.WARN}" == "WARN"


def test_tracking_and_verdict_by_default_and_coherence_on_request(packaged):
    files = packaged
    report = orivex.detect_flip(*files)
    module = _native.detect_flip(*map(str, files))
    assert same_text(report.to_json(), module)
    t, v = report.tracking, report.verdict
    assert len(t.candidates) == 24 and t.region == "otsu" and t.seeds <= 2000 and t.step_mm > 0
    assert v.decision is report.status is Status.FLAG and v.recommended_label == t.candidates[0].label == "-x+y+z"
    assert v.given_rank == 1 + [c.label for c in t.candidates].index("+x+y+z")
    assert v.evidence.best == t.candidates[0] and v.evidence.runner_up == t.candidates[1]
    assert v.evidence.decided_by == "tracking" and v.evidence.margin_threshold == 0.05
    assert v.evidence.coherence.best == "-x+y+z" and v.evidence.coherence.agrees
    assert report.recommended_transform == ((-1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))
    assert f"ranks {v.given_rank} of 24" in report._repr_html_()

    coherence = orivex.detect_flip(*files, evidence="coherence")
    assert same_text(coherence.to_json(), _orivex.detect_flip(*map(str, files)))
    assert coherence.tracking is coherence.verdict is None
    assert orivex.audit(bvec=files[1], bval=files[2]).verdict is None  # no image: _orivex's checks
    with pytest.raises(ValueError, match="evidence must be"):
        orivex.audit(*files, evidence="glyphs")
    with pytest.raises(ValueError, match="memory_limit needs evidence='tracking'"):
        orivex.detect_flip(*files, evidence="coherence", memory_limit=1 << 30)


def test_memory_limit_refuses_an_image_before_reading_it(flipped):
    files = (flipped["dwi"], flipped["bvec"], flipped["bval"])  # 8 x 8 x 8 x 33 floats: 67,584 bytes
    needs = r"the image needs 67\.6 kB \(67584 bytes\) of memory for its 32-bit float array, more than "
    with pytest.raises(ValueError, match=needs + r"the memory budget of 65\.5 kB \(65536 bytes\)"):
        orivex.detect_flip(*files, memory_limit=64 << 10)
    assert orivex.detect_flip(*files, memory_limit=68 << 10).tracking is not None


@pytest.mark.parametrize("module,count", [(_orivex, 13), (_native, 6)], ids=["_orivex", "_native"])
def test_stubs_match_the_module(module, count):
    """Every function of each native module is in its stubs with its exact parameters and defaults."""
    tree = ast.parse(STUBS[module].read_text())
    stubs = {f.name: f.args for f in tree.body if isinstance(f, ast.FunctionDef)}
    public = {n for n in dir(module) if callable(getattr(module, n)) and not n.startswith("_")}
    assert set(stubs) == public and len(public) == count
    for name, args in stubs.items():
        sig = pyinspect.signature(getattr(module, name))
        assert [a.arg for a in args.args] == list(sig.parameters), name
        defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
        expected = [None if p.default is p.empty else p.default for p in sig.parameters.values()]
        assert defaults == expected, name


def test_docstring_examples_run():
    for module in (orivex.api, orivex.report):
        assert doctest.testmod(module).failed == 0, module.__name__


