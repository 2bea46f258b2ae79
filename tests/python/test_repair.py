"""repair and recompute_bval: what is written, in which frame, and the results."""

import json

import numpy as np
import pytest

import _orivex
from conftest import make_phantom, sha256, write_fsl


def read_bvec(path):
    return np.array([[float(v) for v in line.split()] for line in open(path).read().splitlines()]).T


def read_grad(path):
    return np.array([[float(v) for v in line.split()] for line in open(path).read().splitlines()])


def fsl(p, **kw):
    return dict(bvec=p["bvec"], bval=p["bval"], **kw)


@pytest.fixture
def flipped(tmp_path):
    return make_phantom(tmp_path / "in", flip_axis=0)


def test_flagged_table_is_repaired_back_to_the_truth(flipped, tmp_path):
    truth = make_phantom(tmp_path / "truth")
    out = {k: str(tmp_path / f"fixed.{k}") for k in ("bvec", "bval", "b", "json")}
    report = json.loads(
        _orivex.repair(flipped["dwi"], out["bvec"], out["bval"], **fsl(flipped),
                       out_grad=out["b"], provenance=out["json"])
    )
    assert report["status"] == "FLAG"
    assert report["repair"]["label"] == "-x+y+z"
    assert report["repair"]["outputs"] == [out["bvec"], out["bval"], out["b"]]
    np.testing.assert_allclose(read_bvec(out["bvec"]), read_bvec(truth["bvec"]), atol=1e-6)
    assert open(out["bval"]).read() == "0 0 0" + " 1000" * 30 + "\n"
    np.testing.assert_allclose(read_grad(out["b"]), read_grad(truth["grad"]), atol=1e-6)
    record = json.loads(open(out["json"]).read())
    assert [i["sha256"] for i in record["inputs"]] == [sha256(flipped["bvec"]),
                                                      sha256(flipped["bval"])]


def test_grad_input_is_written_in_both_frames(flipped, tmp_path):
    truth = make_phantom(tmp_path / "truth")
    out = [str(tmp_path / n) for n in ("g.bvec", "g.bval", "g.b")]
    report = json.loads(
        _orivex.repair(flipped["dwi"], out[0], out[1], grad=flipped["grad"], out_grad=out[2])
    )
    assert report["repair"]["label"] == "-x+y+z"
    np.testing.assert_allclose(read_bvec(out[0]), read_bvec(truth["bvec"]), atol=1e-6)
    np.testing.assert_allclose(read_grad(out[2]), read_grad(truth["grad"]), atol=1e-6)


def test_dry_run_writes_nothing(flipped, tmp_path):
    out = [str(tmp_path / "d.bvec"), str(tmp_path / "d.bval")]
    report = json.loads(_orivex.repair(flipped["dwi"], *out, **fsl(flipped), dry_run=True,
                                       provenance=str(tmp_path / "p.json")))
    assert report["repair"] == {
        "matrix": [[-1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]],
        "label": "-x+y+z",
        "outputs": [],
    }
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in"]


def test_existing_output_is_refused_then_backed_up(flipped, tmp_path):
    out_bvec, out_bval = tmp_path / "x.bvec", tmp_path / "x.bval"
    out_bvec.write_text("old\n")
    with pytest.raises(ValueError) as info:
        _orivex.repair(flipped["dwi"], str(out_bvec), str(out_bval), **fsl(flipped))
    assert str(info.value) == (
        f"refusing to overwrite existing file: {out_bvec} (pass --force to allow)")
    assert out_bvec.read_text() == "old\n" and not out_bval.exists()

    (tmp_path / "x.bvec.bak").write_text("older\n")
    _orivex.repair(flipped["dwi"], str(out_bvec), str(out_bval), **fsl(flipped), in_place=True)
    assert (tmp_path / "x.bvec.bak.1").read_text() == "old\n"
    assert (tmp_path / "x.bvec.bak").read_text() == "older\n"


def test_consistent_table_is_not_repaired(tmp_path):
    p = make_phantom(tmp_path / "in")
    out = [str(tmp_path / "o.bvec"), str(tmp_path / "o.bval")]
    report = json.loads(_orivex.repair(p["dwi"], *out, **fsl(p), force_repair=True))
    assert report["status"] == "PASS" and "repair" not in report
    assert not (tmp_path / "o.bvec").exists()


def test_repair_order_of_failures(flipped, tmp_path):
    missing = str(tmp_path / "missing.nii.gz")
    with pytest.raises(ValueError, match="^provide bvec and bval, or grad$"):
        _orivex.repair(missing, "a", "b")
    with pytest.raises(ValueError, match="^NIfTI error: "):
        _orivex.repair(missing, "a", "b", **fsl(flipped))


def amplitude_table(tmp_path):
    rng = np.random.default_rng(7)
    dirs = rng.normal(size=(20, 3))
    dirs /= np.linalg.norm(dirs, axis=1, keepdims=True)
    norms = np.where(np.arange(20) < 10, 1.0, np.sqrt(0.5))
    bvecs = np.vstack([np.zeros((2, 3)), dirs * norms[:, None]])
    bvals = np.concatenate([np.zeros(2), np.full(20, 2000.0)])
    write_fsl(tmp_path / "amp.bvec", tmp_path / "amp.bval", bvecs, bvals)
    return str(tmp_path / "amp.bvec"), str(tmp_path / "amp.bval")


def test_recompute_bval_summary(tmp_path):
    bvec, bval = amplitude_table(tmp_path)
    out = [str(tmp_path / n) for n in ("r.bvec", "r.bval", "r.b")]
    text = _orivex.recompute_bval(*out[:2], bvec=bvec, bval=bval, out_grad=out[2])
    summary = json.loads(text, object_pairs_hook=lambda kv: kv)
    assert [k for k, _ in summary] == [
        "b_nominal", "max_norm", "b_min", "b_max", "before", "after", "outputs"]
    summary = json.loads(text)
    assert ": " not in text
    assert summary["outputs"] == out
    assert summary["before"] == [{"nominal_b": 0.0, "count": 2}, {"nominal_b": 2000.0, "count": 20}]
    assert sorted(s["count"] for s in summary["after"]) == [2, 10, 10]
    written = [float(v) for v in open(out[1]).read().split()]
    assert sorted(set(round(b) for b in written)) == [0, 1000, 2000]


def test_recompute_bval_dry_run_and_errors(tmp_path):
    bvec, bval = amplitude_table(tmp_path)
    text = _orivex.recompute_bval(str(tmp_path / "x"), str(tmp_path / "y"), bvec=bvec,
                                  bval=bval, dry_run=True)
    assert json.loads(text)["outputs"] == []
    assert not (tmp_path / "x").exists()
    (tmp_path / "b0.bval").write_text(" ".join(["0"] * 22) + "\n")
    with pytest.raises(ValueError) as info:
        _orivex.recompute_bval("x", "y", bvec=bvec, bval=str(tmp_path / "b0.bval"))
    assert str(info.value) == "no usable non-b0 shell for flip detection"
    with pytest.raises(ValueError, match="^provide bvec and bval, or grad$"):
        _orivex.recompute_bval("x", "y")
