"""`orivex bids` end to end: the mechanics (levels, resumption, backends, SLURM) on phantoms, the
default evidence, consensus, figures and the API on the vendored real scans."""

import hashlib
import json
import os
import shutil
import subprocess
import sys

import pytest

import _orivex
import orivex
from conftest import NO_FIGURES_UNDER_ASAN, make_phantom, needs_matplotlib, real_bids_run
from orivex import cli
from orivex.pretty import pretty_json

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
    assert tsv[0] == "participant_id\tstatus\tbest_label\trelative_margin\tgiven_rank\tvolumes\tprotocol"
    assert tsv[1].startswith("sub-01\tPASS\t+x+y+z\t0.1002") and tsv[1].endswith("\t1\tn/a\tP1")  # coherence: no volume check
    assert tsv[4] == "sub-04\tERROR\tn/a\tn/a\tn/a\tn/a\tn/a"
    page = (out / "orivex_report.html").read_text()
    assert "http" not in page.replace('lang="en"', "") and "<script" not in page


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


@needs_matplotlib
def test_real_scans_under_the_default_evidence_from_the_command_line_and_the_api(tmp_path, capsys):
    root = tmp_path / "study"
    real_bids_run(root, "01")
    real_bids_run(root, "02", flip_x=True)
    assert cli.main(["bids", str(root)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[:2] for line in lines[:2]] == [["PASS", "+x+y+z"], ["FLAG", "-x+y+z"]]
    assert lines[-1].startswith("dataset: FLAG; summary at ")
    out = root / "derivatives" / "orivex"
    raw = (out / "sub-02/ses-1/dwi/sub-02_ses-1_desc-orivex_report.json").read_text()
    report = orivex.Report.from_json(raw)
    assert report.verdict.recommended_label == "-x+y+z" and report.tracking is not None
    # The report is the API's, in the file layout, with the App's `bids` section after it.
    src = root / "sub-02/ses-1/dwi/sub-02_ses-1"
    direct = orivex.audit(f"{src}_dwi.nii.gz", f"{src}_dwi.bvec", f"{src}_dwi.bval",
                          mask=f"{src}_brain_mask.nii.gz").to_dict()
    written = json.loads(raw)
    assert list(written) == list(direct) + ["bids"] and raw == pretty_json(raw) + "\n"
    assert [{k: d[k] for k in direct if k != "timestamp"} for d in (written, direct)] == [
        {k: direct[k] for k in direct if k != "timestamp"}] * 2
    assert report.bids.protocol_key.startswith("UIH;uMR 770;R002;")
    assert report.bids.inputs[-1].path == "sub-02/ses-1/dwi/sub-02_ses-1_brain_mask.nii.gz"
    # The corrected pair is the repair of the same inputs.
    orivex.repair(f"{src}_dwi.nii.gz", f"{src}_dwi.bvec", f"{src}_dwi.bval",
                  mask=f"{src}_brain_mask.nii.gz", out_bvec=tmp_path / "r.bvec",
                  out_bval=tmp_path / "r.bval")
    assert (out / "sub-02/ses-1/dwi/sub-02_ses-1_desc-corrected_dwi.bvec").read_bytes() == (
        tmp_path / "r.bvec").read_bytes()

    tsv = [line.split("\t") for line in (out / "group_orientation.tsv").read_text().splitlines()]
    assert tsv[0] == ["participant_id", "session_id", "status", "best_label", "relative_margin",
                      "given_rank", "volumes", "protocol"]
    assert [row[:4] for row in tsv[1:]] == [["sub-01", "ses-1", "PASS", "+x+y+z"],
                                            ["sub-02", "ses-1", "FLAG", "-x+y+z"]]
    assert tsv[2][5] != "1" and tsv[2][6:] == ["none", "P1"]
    assert list(json.loads((out / "group_orientation.json").read_text())) == tsv[0]
    for sub in ("01", "02"):
        png = out / f"sub-{sub}/ses-1/dwi/sub-{sub}_ses-1_desc-orivex_qc.png"
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    page = (out / "orivex_report.html").read_text()
    assert page.count("data:image/png;base64,") == 2 and "-x+y+z" in page
    assert "http" not in page.replace('lang="en"', "") and "<script" not in page
    assert cli.main(["bids", str(root), "--fail-on", "flag"]) == 4
    assert "(up to date)" in capsys.readouterr().out

    # The API runs the same App: the same reports, and the summary as typed objects.
    api_out = tmp_path / "api"
    result = orivex.bids(root, api_out)
    assert result.exit_code == 0 and result.participant["FLAG"] == 1
    assert [(r.path, r.status, r.best_label) for r in result.summary.runs] == [
        ("sub-01/ses-1/dwi/sub-01_ses-1_dwi.nii.gz", "PASS", "+x+y+z"),
        ("sub-02/ses-1/dwi/sub-02_ses-1_dwi.nii.gz", "FLAG", "-x+y+z")]
    assert without_timestamps(api_out) == without_timestamps(out)
    assert cli.main(["bids", str(tmp_path / "nowhere")]) == 1
    assert "BIDS dataset not found: " in capsys.readouterr().err


def protocol_of(out):
    [protocol] = json.loads((out / "dataset_summary.json").read_text())["protocols"]
    return protocol


# The noise at which single runs of each scan mostly stay WARN, even after their verdict has
# gathered more evidence.
@pytest.mark.parametrize("scan, noise", [("uih_dti16_ax", 0.2), ("siemens_prisma_xa30_ax", 0.16)])
def test_a_protocol_pools_noisy_runs_and_names_the_run_that_disagrees(tmp_path, capsys, scan, noise):
    # Eight x-flipped runs, each with its own noise, too noisy to FLAG alone.
    noisy = tmp_path / "noisy"
    for n in range(8):
        real_bids_run(noisy, f"{n + 1:02d}", scan, ses=None, flip_x=True, noise=noise, seed=n)
    cli.main(["bids", str(noisy), "--no-qc"])
    lines = capsys.readouterr().out.splitlines()
    assert sum(line.startswith("WARN") for line in lines[:8]) >= 5
    protocol = protocol_of(noisy / "derivatives" / "orivex")
    assert (protocol["decision"], protocol["best_label"]) == ("FLAG", "-x+y+z")
    assert protocol["n_runs"] == 8 and protocol["outliers"] == []

    # Eight clean runs, one of them x-flipped.
    clean = tmp_path / "clean"
    for n in range(8):
        real_bids_run(clean, f"{n + 1:02d}", scan, ses=None, flip_x=n == 5)
    assert cli.main(["bids", str(clean), "--no-qc"]) == 0
    text = capsys.readouterr().out
    assert "disagrees: sub-06/dwi/sub-06_dwi.nii.gz (-x+y+z, " in text
    protocol = protocol_of(clean / "derivatives" / "orivex")
    assert protocol["decision"] != "FLAG"
    assert [o["run"] for o in protocol["outliers"]] == ["sub-06/dwi/sub-06_dwi.nii.gz"]
    rows = (clean / "derivatives/orivex/group_orientation.tsv").read_text().splitlines()
    assert rows[6].split("\t")[:3] == ["sub-06", "FLAG", "-x+y+z"]
