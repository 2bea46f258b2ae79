"""`orivex bids` end to end on phantom datasets: levels, outputs, resumption, backends, SLURM."""

import hashlib
import json
import os
import shutil
import subprocess
import sys

import pytest

import _orivex
from conftest import NO_FIGURES_UNDER_ASAN, make_phantom, needs_matplotlib
from orivex import cli

# The mechanics run on the coherence evidence: phantoms of a few voxels are too small to track.
EVIDENCE = ("--evidence", "coherence")

REPO = os.path.join(os.path.dirname(__file__), "..", "..")


def dataset(root, flipped=("02",), subjects=("01", "02", "03")):
    """Phantom runs; sub-03 inherits the dataset-level table and sidecar."""
    for sub in subjects:
        folder = root / f"sub-{sub}" / "dwi"
        p = make_phantom(folder, name=f"sub-{sub}_dwi", flip_axis=0 if sub in flipped else None)
        os.remove(p["grad"])
        if sub == "03":
            shutil.move(p["bvec"], root / "dwi.bvec")
            shutil.move(p["bval"], root / "dwi.bval")
    (root / "dataset_description.json").write_text('{"Name": "t", "BIDSVersion": "1.9.0"}')
    (root / "dwi.json").write_text('{"Manufacturer": "Acme", "PhaseEncodingDirection": "j-", '
                                   '"TotalReadoutTime": 0.05}')
    return root


def snapshot(root):
    return {str(p.relative_to(root)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(root.rglob("*")) if p.is_file()}


def without_timestamps(out):
    docs = {}
    for path in sorted(out.rglob("*_report.json")):
        doc = json.loads(path.read_text())
        doc.pop("timestamp")
        docs[str(path.relative_to(out))] = doc
    return docs


def test_participant_and_group_levels(tmp_path, capsys):
    root = dataset(tmp_path / "study")
    bad = root / "sub-04" / "dwi"
    bad.mkdir(parents=True)
    (bad / "sub-04_dwi.nii.gz").write_bytes(b"\x1f\x8b not really gzip")
    before = snapshot(root)
    out = tmp_path / "out"
    code = cli.main(["bids", *EVIDENCE, str(root), str(out), "participant", "--no-qc"])
    lines = capsys.readouterr().out.splitlines()
    assert code == 1  # one run could not be audited; the others were
    assert [line.split()[:3] for line in lines[:3]] == [
        ["PASS", "+x+y+z", "10.03%"], ["FLAG", "-x+y+z", "10.03%"], ["PASS", "+x+y+z", "10.03%"]]
    assert lines[1].endswith("sub-02/dwi/sub-02_dwi.nii.gz")
    assert lines[3].startswith("ERROR  -               -  sub-04/dwi/sub-04_dwi.nii.gz: NIfTI error")
    assert lines[4] == (f"participant level: 4 runs: 2 PASS, 0 WARN, 1 FLAG, 1 ERROR "
                        f"(0 up to date); outputs in {out}")
    assert snapshot(root) == before  # the dataset is only read

    description = json.loads((out / "dataset_description.json").read_text())
    assert description["DatasetType"] == "derivative"
    assert description["GeneratedBy"][0]["Version"] == _orivex.version()
    report = json.loads((out / "sub-03/dwi/sub-03_desc-orivex_report.json").read_text())
    assert [i["path"] for i in report["bids"]["inputs"][:4]] == [
        "sub-03/dwi/sub-03_dwi.nii.gz", "dwi.bvec", "dwi.bval", "dwi.json"]
    assert report["bids"]["inputs"][0]["sha256"] == hashlib.sha256(
        (root / "sub-03/dwi/sub-03_dwi.nii.gz").read_bytes()).hexdigest()
    assert report["bids"]["notes"] == ["BIDS sidecar: PE=j-, TRT=0.0500s"]
    assert report["bids"]["protocol"]["key"] == "Acme;n/a;n/a;j-;LAS;1000x30"
    error = json.loads((out / "sub-04/dwi/sub-04_desc-orivex_report.json").read_text())
    assert error["status"] == "ERROR" and error["error"].startswith("NIfTI error")

    # The corrected pair of the FLAG run is what `repair` writes for the same inputs.
    src = root / "sub-02" / "dwi"
    _orivex.repair(str(src / "sub-02_dwi.nii.gz"), str(tmp_path / "r.bvec"), str(tmp_path / "r.bval"),
                   bvec=str(src / "sub-02_dwi.bvec"), bval=str(src / "sub-02_dwi.bval"),
                   mask=str(src / "sub-02_dwi_mask.nii.gz"))
    for ext in ("bvec", "bval"):
        assert (out / f"sub-02/dwi/sub-02_desc-corrected_dwi.{ext}").read_bytes() == (
            tmp_path / f"r.{ext}").read_bytes()
    assert not (out / "sub-01/dwi/sub-01_desc-corrected_dwi.bvec").exists()

    # Resumption: current reports are skipped; a changed input or --force audits again.
    first = (out / "sub-01/dwi/sub-01_desc-orivex_report.json").read_text()
    cli.main(["bids", *EVIDENCE, str(root), str(out), "participant", "--no-qc"])
    lines = capsys.readouterr().out.splitlines()
    assert [line.endswith("(up to date)") for line in lines[:4]] == [True, True, True, False]
    assert (out / "sub-01/dwi/sub-01_desc-orivex_report.json").read_text() == first
    (src / "sub-02_dwi.bvec").write_text((tmp_path / "r.bvec").read_text())  # fixed by hand
    cli.main(["bids", *EVIDENCE, str(root), str(out), "participant", "--no-qc", "--participant-label", "02"])
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("PASS") and not lines[0].endswith("(up to date)")
    assert len(lines) == 2
    assert not (out / "sub-02/dwi/sub-02_desc-corrected_dwi.bvec").exists()  # no stale fix
    cli.main(["bids", *EVIDENCE, str(root), str(out), "participant", "--no-qc", "--force", "--json"])
    records = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [r["skipped"] for r in records] == [False] * 4

    code = cli.main(["bids", *EVIDENCE, str(root), str(out), "group"])
    text = capsys.readouterr().out
    assert code == 1
    assert "group level: 4 runs in 1 protocol: 3 PASS, 0 WARN, 0 FLAG, 1 ERROR" in text
    summary = json.loads((out / "dataset_summary.json").read_text())
    assert summary["counts"] == {"PASS": 3, "WARN": 0, "FLAG": 0, "ERROR": 1}
    [protocol] = summary["protocols"]
    assert protocol["decision"] == "PASS" and protocol["n_runs"] == 3
    assert [(r["path"], r["protocol"]) for r in summary["results"]][::3] == [
        ("sub-01/dwi/sub-01_dwi.nii.gz", "P1"), ("sub-04/dwi/sub-04_dwi.nii.gz", None)]
    tsv = (out / "group_orientation.tsv").read_text().splitlines()
    assert tsv[0] == "sub\tstatus\tbest_label\trelative_margin\tgiven_rank\tprotocol"
    assert tsv[1].startswith("01\tPASS\t+x+y+z\t0.1002") and tsv[1].endswith("\t1\tAcme;n/a;n/a;j-;LAS;1000x30")
    assert tsv[4] == "04\tERROR\tn/a\tn/a\tn/a\tn/a"
    page = (out / "orivex_report.html").read_text()
    assert "http" not in page.replace('lang="en"', "") and "<script" not in page


@needs_matplotlib
def test_bids_dir_alone_runs_both_levels_with_figures(tmp_path, capsys):
    root = dataset(tmp_path / "study", subjects=("01", "02"))
    assert cli.main(["bids", *EVIDENCE, str(root)]) == 0
    text = capsys.readouterr().out
    out = root / "derivatives" / "orivex"
    assert "dataset: FLAG" in text
    assert (out / "sub-02/dwi/sub-02_desc-orivex_qc.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (out / "orivex_report.html").read_text().count("data:image/png;base64,") == 2
    assert cli.main(["bids", *EVIDENCE, str(root), "--fail-on", "flag"]) == 4
    capsys.readouterr()
    assert cli.main(["bids", str(tmp_path / "nowhere")]) == 1
    assert "BIDS dataset not found: " in capsys.readouterr().err


def test_jobs_and_a_dask_local_cluster_give_the_serial_reports(tmp_path, capsys):
    distributed = pytest.importorskip("dask.distributed")
    root = dataset(tmp_path / "study", subjects=("01", "02", "03", "04"))
    outs = {name: tmp_path / name for name in ("serial", "jobs", "dask")}
    assert cli.main(["bids", *EVIDENCE, str(root), str(outs["serial"]), "participant", "--no-qc"]) == 0
    assert cli.main(["bids", *EVIDENCE, str(root), str(outs["jobs"]), "participant", "--no-qc",
                     "--jobs", "2"]) == 0
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        assert cli.main(["bids", *EVIDENCE, str(root), str(outs["dask"]), "participant", "--no-qc",
                         "--dask-scheduler", cluster.scheduler_address]) == 0
    capsys.readouterr()
    serial = without_timestamps(outs["serial"])
    assert len(serial) == 4
    assert without_timestamps(outs["jobs"]) == serial
    assert without_timestamps(outs["dask"]) == serial
    assert snapshot(outs["dask"]) .keys() == snapshot(outs["serial"]).keys()


def test_slurm_array_script_audits_the_participant_of_its_index(tmp_path):
    root = dataset(tmp_path / "study", subjects=("01", "02"))
    env = dict(os.environ, SLURM_ARRAY_TASK_ID="1", SLURM_CPUS_PER_TASK="1",
               PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    script = os.path.join(REPO, "examples", "slurm", "orivex_participant.sbatch")
    r = subprocess.run(["bash", script, str(root), str(tmp_path / "out"), "--evidence", "coherence",
                        *NO_FIGURES_UNDER_ASAN], env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[0].startswith("FLAG   -x+y+z")
    assert os.listdir(tmp_path / "out") == ["dataset_description.json", "sub-02"] or sorted(
        os.listdir(tmp_path / "out")) == ["dataset_description.json", "sub-02"]


def test_the_tracking_verdict_answers_when_its_module_is_built(tmp_path, monkeypatch, capsys):
    from orivex.bidsapp import task

    def audit(dwi, **kw):
        report = json.loads(_orivex.audit(dwi=dwi, **kw))
        report["tracking"] = {"candidates": [
            {"label": "+x+y+z", "matrix": [[1, 0, 0], [0, 1, 0], [0, 0, 1]], "mean_length": 40.0},
            {"label": "-x+y+z", "matrix": [[-1, 0, 0], [0, 1, 0], [0, 0, 1]], "mean_length": 20.0}]}
        report["verdict"] = {"decision": "PASS", "recommended_label": None,
                             "recommended_transform": None, "relative_margin": 0.5, "given_rank": 1}
        report["status"] = "PASS"
        return json.dumps(report)

    native = type(sys)("orivex._native")
    native.audit, native.version = audit, lambda: "t1"
    monkeypatch.setitem(sys.modules, "orivex._native", native)
    task.native_module.cache_clear()
    try:
        root = dataset(tmp_path / "study", subjects=("01",))
        out = tmp_path / "out"
        assert cli.main(["bids", str(root), str(out), "participant", "--no-qc"]) == 0
        assert capsys.readouterr().out.startswith("PASS   +x+y+z     50.00%  sub-01/")
        report = json.loads((out / "sub-01/dwi/sub-01_desc-orivex_report.json").read_text())
        assert report["bids"]["generated_by"]["evidence"] == "tracking"
        assert report["bids"]["generated_by"]["native_version"] == "t1"
        # Another kind of evidence makes the report out of date.
        cli.main(["bids", str(root), str(out), "participant", "--no-qc", "--evidence", "coherence"])
        assert capsys.readouterr().out.startswith("PASS   +x+y+z     10.03%  sub-01/")
    finally:
        task.native_module.cache_clear()
