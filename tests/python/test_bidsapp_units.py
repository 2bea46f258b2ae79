"""The BIDS App's pieces that need no audit: discovery, NIfTI orientation, consensus, writes."""

import json
import os

import nibabel as nib
import numpy as np
import pytest

from orivex.bidsapp import consensus, discovery, evidence, group, nifti, outputs


def touch(root, *rels, text=""):
    for rel in rels:
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def runs_by_rel(root, **kw):
    return {r.rel: r for r in discovery.Dataset(str(root)).runs(**kw)}


def test_discovery_inherits_tables_and_sidecars_and_reports_what_it_cannot_use(tmp_path):
    touch(tmp_path, "dataset_description.json", "dwi.bvec", "dwi.bval",
          "sub-01/dwi/sub-01_run-1_dwi.nii.gz", "sub-01/dwi/sub-01_run-2_dwi.nii.gz",
          "sub-01/dwi/sub-01_run-2_dwi.bvec",            # nearer than the dataset's dwi.bvec
          "sub-01/ses-a/dwi/sub-01_ses-a_dwi.nii",
          "sub-01/ses-a/dwi/brain_mask.nii.gz",
          "sub-02/dwi/sub-02_acq-x_dwi.nii.gz",
          "sub-02/sub-02_dwi.bvec", "sub-02/sub-02_acq-x_dwi.bvec",  # two apply at one level
          "sub-03/dwi/sub-03_dwi.nii.gz",                 # ignored below
          "sub-01/anat/sub-01_T1w.nii.gz",
          "sub-05/dwi/sub-05_dwi.nii", "sub-05/dwi/sub-05_dwi.nii.gz",  # one run, twice
          "derivatives/orivex/sub-01/dwi/sub-01_dwi.nii.gz")
    touch(tmp_path, "dwi.json", text='{"Manufacturer": "A", "PhaseEncodingDirection": "j"}')
    touch(tmp_path, "sub-01/sub-01_dwi.json", text='{"PhaseEncodingDirection": "j-"}')
    touch(tmp_path, ".bidsignore", text="# local extras\nsub-03/\n*_T1w.nii.gz\n")
    runs = runs_by_rel(tmp_path)
    assert list(runs) == ["sub-01/dwi/sub-01_run-1_dwi.nii.gz", "sub-01/dwi/sub-01_run-2_dwi.nii.gz",
                          "sub-01/ses-a/dwi/sub-01_ses-a_dwi.nii", "sub-02/dwi/sub-02_acq-x_dwi.nii.gz",
                          "sub-05/dwi/sub-05_dwi.nii", "sub-05/dwi/sub-05_dwi.nii.gz"]
    assert runs["sub-05/dwi/sub-05_dwi.nii"].problem is None
    assert runs["sub-05/dwi/sub-05_dwi.nii.gz"].problem == (
        "another image with the same entities is also here: sub-05_dwi.nii")
    r1 = runs["sub-01/dwi/sub-01_run-1_dwi.nii.gz"]
    assert (r1.bvec, r1.bval) == (str(tmp_path / "dwi.bvec"), str(tmp_path / "dwi.bval"))
    assert r1.sidecars == (str(tmp_path / "dwi.json"), str(tmp_path / "sub-01/sub-01_dwi.json"))
    assert r1.entities == (("sub", "01"), ("run", "1")) and r1.base == "sub-01_run-1"
    assert r1.problem is None and r1.masks == ()
    r2 = runs["sub-01/dwi/sub-01_run-2_dwi.nii.gz"]
    assert r2.bvec == str(tmp_path / "sub-01/dwi/sub-01_run-2_dwi.bvec")
    ses = runs["sub-01/ses-a/dwi/sub-01_ses-a_dwi.nii"]
    assert ses.masks == (str(tmp_path / "sub-01/ses-a/dwi/brain_mask.nii.gz"),)
    assert runs["sub-02/dwi/sub-02_acq-x_dwi.nii.gz"].problem == (
        "more than one .bvec applies at one level: sub-02/sub-02_acq-x_dwi.bvec, sub-02/sub-02_dwi.bvec")

    os.remove(tmp_path / "dwi.bval")
    assert runs_by_rel(tmp_path)["sub-01/dwi/sub-01_run-1_dwi.nii.gz"].problem == (
        "no .bval applies to this image (none beside it, none inherited from the session, "
        "subject or dataset level)")

    assert list(runs_by_rel(tmp_path, participants=["sub-01"], sessions=["a"])) == [
        "sub-01/ses-a/dwi/sub-01_ses-a_dwi.nii"]
    assert list(runs_by_rel(tmp_path, participants=["02"])) == ["sub-02/dwi/sub-02_acq-x_dwi.nii.gz"]
    with pytest.raises(discovery.DiscoveryError, match="^no such participant in .*: sub-09$"):
        runs_by_rel(tmp_path, participants=["09"])
    with pytest.raises(discovery.DiscoveryError, match="^BIDS dataset not found: .* does not exist$"):
        discovery.Dataset(str(tmp_path / "absent"))


def test_bidsignore_patterns_match_as_gitignore_does():
    ignore = discovery.BidsIgnore(["/sub-0[12]/", "**/tmp_*", "extra", "#x", "!keep"])
    assert ignore.ignores("sub-01/dwi/a.nii", False) and not ignore.ignores("sub-03/sub-01", True)
    assert ignore.ignores("sub-04/dwi/tmp_a_dwi.nii") and ignore.ignores("sub-05/extra/x")
    assert not ignore.ignores("sub-05/extras/x") and not ignore.ignores("keep")


@pytest.mark.parametrize("affine", [
    np.diag([-2.0, 2.0, 2.0, 1.0]),
    np.diag([2.0, -2.0, 2.5, 1.0]),
    np.array([[0.0, 0.0, 2.0, 1.0], [-2.0, 0.0, 0.0, 2.0], [0.0, -2.0, 0.0, 3.0], [0, 0, 0, 1.0]]),
])
@pytest.mark.parametrize("form", ["sform", "qform", "nifti2"])
def test_axis_codes_and_grid_agree_with_nibabel(tmp_path, affine, form):
    # A 20-degree oblique tilt keeps the codes of the plane it is closest to.
    c, s = np.cos(0.35), np.sin(0.35)
    tilt = np.array([[1, 0, 0, 0], [0, c, -s, 0], [0, s, c, 0], [0, 0, 0, 1.0]])
    affine = tilt @ affine
    image_type = nib.Nifti2Image if form == "nifti2" else nib.Nifti1Image
    img = image_type(np.zeros((5, 6, 7, 2), np.float32), None)
    img.set_qform(affine, code=1)
    img.set_sform(affine if form != "qform" else None, code=0 if form == "qform" else 1)
    path = tmp_path / f"x_{form}.nii.gz"
    nib.save(img, path)
    header = nifti.read_header(str(path))
    assert header.dims == (5, 6, 7, 2)
    assert header.axis_codes() == "".join(nib.aff2axcodes(nib.load(path).affine))
    np.testing.assert_allclose(header.affine, nib.load(path).affine[:3], atol=1e-4)


OTHER = {"+y+x+z": 0.70, "+x+z+y": 0.68, "+z+y+x": 0.66}


def rows_for(score_maps, protocol="P", kind="coherence", threshold=0.02):
    return [{"id": f"sub-{n:02d}", "protocol": protocol, "kind": kind, "scores": scores,
             "threshold": threshold, "status": "WARN"} for n, scores in enumerate(score_maps)]


def test_thin_flips_pool_into_a_protocol_flag_and_one_flipped_run_stands_out():
    rng = np.random.default_rng(7)
    # Each run prefers -x+y+z by about 1% (the per-run threshold is 2%): WARN alone.
    thin = [{"-x+y+z": 0.81 + rng.uniform(-1e-3, 1e-3), "+x+y+z": 0.80, **OTHER} for _ in range(8)]
    alone = consensus.pool([("a", thin[0])], 0.02)
    assert alone["decision"] == "WARN" and alone["best_label"] == "-x+y+z"
    [verdict] = consensus.protocols(rows_for(thin))
    assert verdict["decision"] == "FLAG" and verdict["best_label"] == "-x+y+z"
    assert verdict["relative_margin"] < 0.02 <= verdict["combined_margin"]
    assert verdict["agreement"] == 1.0 and verdict["outliers"] == [] and verdict["n_runs"] == 8

    correct = [{"+x+y+z": 0.84, "-x+y+z": 0.80, **OTHER}] * 7
    flipped = {"-x+y+z": 0.84, "+x+y+z": 0.80, **OTHER}
    [verdict] = consensus.protocols(rows_for(correct[:3] + [flipped] + correct[3:]))
    assert verdict["decision"] == "PASS" and verdict["best_label"] == "+x+y+z"
    assert [(o["run"], o["best_label"]) for o in verdict["outliers"]] == [("sub-03", "-x+y+z")]
    assert verdict["outliers"][0]["relative_margin"] == pytest.approx(1 - 0.80 / 0.84)


def test_protocols_stay_apart_and_tracking_evidence_wins_over_coherence():
    siemens = rows_for([{"+x+y+z": 0.84, "-x+y+z": 0.80, **OTHER}] * 4, "S")
    ge = rows_for([{"+x-y+z": 42.0, "+x+y+z": 41.0, "+y+x+z": 30.0}] * 6, "G", "tracking", 0.05)
    coherence_ge = rows_for([{"+x+y+z": 0.9, "+x-y+z": 0.5}], "G")
    for n, row in enumerate(ge + coherence_ge):
        row["id"] = f"ge-{n}"
    verdicts = {v["protocol"]: v for v in consensus.protocols(siemens + ge + coherence_ge)}
    assert verdicts["S"]["decision"] == "PASS" and verdicts["S"]["n_runs"] == 4
    assert verdicts["S"]["evidence"] == "coherence"
    # 2.4% per run is thin against tracking's 5%; six runs together are not.
    assert verdicts["G"]["evidence"] == "tracking" and verdicts["G"]["threshold"] == 0.05
    assert verdicts["G"]["decision"] == "FLAG" and verdicts["G"]["best_label"] == "+x-y+z"
    assert verdicts["G"]["n_runs"] == 6 and verdicts["G"]["n_total"] == 7
    summary, ids = group.summarize(siemens + ge, {}, [], "ds")
    assert [(p["id"], p["key"], p["counts"]["WARN"]) for p in summary["protocols"]] == [
        ("P1", "G", 6), ("P2", "S", 4)]


def test_labels_fold_their_negation():
    assert [evidence.canonical(x) for x in ("+x-y-z", "-x-y-z", "-y+x+z", "+y-x-z")] == [
        "-x+y+z", "+x+y+z", "-y+x+z", "-y+x+z"]


def test_atomic_write_keeps_the_old_file_on_failure_and_refuses_planted_links(tmp_path):
    out_path = tmp_path / "out"
    with outputs.OutputDir(str(out_path)) as out:
        out.write("sub-01/dwi/a.json", "old")
        with pytest.raises(RuntimeError):
            with out.atomic("sub-01/dwi/a.json") as f:
                f.write(b"half")
                raise RuntimeError("disk full")
        assert (out_path / "sub-01/dwi/a.json").read_text() == "old"
        assert os.listdir(out_path / "sub-01/dwi") == ["a.json"]
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        (out_path / "sub-02").symlink_to(elsewhere)
        with pytest.raises(outputs.OutputError, match="refusing to write through a symbolic link"):
            out.write("sub-02/dwi/a.json", "x")
        assert os.listdir(elsewhere) == []
        # A link planted at the final name is replaced, never written through.
        target = tmp_path / "victim"
        target.write_text("keep")
        os.symlink(target, out_path / "sub-01/dwi/b.json")
        out.write("sub-01/dwi/b.json", "new")
        assert target.read_text() == "keep" and (out_path / "sub-01/dwi/b.json").read_text() == "new"
    os.symlink(out_path, tmp_path / "link")
    with pytest.raises(outputs.OutputError, match="^output directory is a symbolic link"):
        outputs.OutputDir(str(tmp_path / "link"))
    description = json.loads(outputs.dataset_description(str(tmp_path), "1.1.6"))
    assert description["DatasetType"] == "derivative"
    assert description["GeneratedBy"][0]["Name"] == "orivex"
    assert description["SourceDatasets"] == [{"URL": "file://" + str(tmp_path)}]
