"""audit_bids: the batch audit of a BIDS dataset."""

import json
import os

import pytest

import _orivex
from conftest import make_phantom


def add_run(root, sub, flip_axis=None, sidecar=None):
    folder = root / sub / "dwi"
    p = make_phantom(folder, flip_axis=flip_axis, name=f"{sub}_dwi")
    os.remove(p["grad"])
    os.remove(p["mask"])
    if sidecar is not None:
        (folder / f"{sub}_dwi.json").write_text(json.dumps(sidecar))
    return p


def test_pass_and_flag(tmp_path):
    add_run(tmp_path, "sub-01")
    add_run(tmp_path, "sub-02", flip_axis=1)
    text = _orivex.audit_bids(str(tmp_path))
    pairs = json.loads(text, object_pairs_hook=lambda kv: kv)
    assert [k for k, _ in pairs] == ["exit_code", "results", "status", "summary_path"]
    summary = json.loads(text)
    assert summary["status"] == "FLAG" and summary["exit_code"] == 0
    assert [r["name"] for r in summary["results"]] == ["sub-01_dwi", "sub-02_dwi"]
    assert [r["status"] for r in summary["results"]] == ["PASS", "FLAG"]
    out = tmp_path / "derivatives" / "orivex"
    assert summary["summary_path"] == str(out / "dataset_summary.json")
    dataset = json.loads((out / "dataset_summary.json").read_text())
    assert dataset["bids_root"] == str(tmp_path) and dataset["n_datasets"] == 2
    assert dataset["tool"] == "orivex"
    report = json.loads((out / "sub-01_dwi_report.json").read_text())
    assert report["status"] == "PASS"


def test_sidecar_note(tmp_path):
    add_run(tmp_path, "sub-01", sidecar={
        "PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.05,
        "MultibandAccelerationFactor": 3})
    _orivex.audit_bids(str(tmp_path))
    report = json.loads(
        (tmp_path / "derivatives/orivex/sub-01_dwi_report.json").read_text())
    assert "BIDS sidecar: PE=j-, TRT=0.0500s, MB=3" in report["notes"]


def test_empty_dataset(tmp_path):
    with pytest.raises(ValueError) as info:
        _orivex.audit_bids(str(tmp_path))
    assert str(info.value) == (
        "no *_dwi NIfTI with sibling bvec/bval (or bvecs/bvals) found under " + str(tmp_path))
    assert not (tmp_path / "derivatives").exists()


def test_margin_threshold_fails_the_batch(tmp_path):
    add_run(tmp_path, "sub-01")
    with pytest.raises(ValueError) as info:
        _orivex.audit_bids(str(tmp_path), margin_threshold=2.0)
    assert str(info.value) == "margin threshold must be finite and in (0, 1]: 2"


def test_argument_kinds(tmp_path):
    with pytest.raises(TypeError, match="^argument 'root': "):
        _orivex.audit_bids(tmp_path)
    with pytest.raises(TypeError, match="^argument 'strict': "):
        _orivex.audit_bids(str(tmp_path), strict=0)
