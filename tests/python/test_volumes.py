"""Every volume against its row: the volume check on corrupted tables (a trimmed form of
bench/volumes_sweep.py), its report section, summary line and QC strip, and the repair that mends
rows only when asked."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

import orivex
from conftest import UNDER_ASAN
from detector_phantom import brain_phantom, sphere_directions, table_corruptions, write_fsl
from orivex import _native

REAL = Path(__file__).resolve().parents[1] / "data" / "realdwi"
# A negative determinant makes the FSL frame the voxel frame: phantom directions go as they are.
AFFINE = np.diag([-2.0, 2.0, 2.0, 1.0])


def save_phantom(path: Path, **kw):
    p = brain_phantom(**kw)
    nib.save(nib.Nifti1Image(p.data, AFFINE), path / "dwi.nii")
    nib.save(nib.Nifti1Image(p.brain.astype(np.uint8), AFFINE), path / "mask.nii")
    return path / "dwi.nii", p.bvecs, p.bvals, path / "mask.nii"


def volumes(work: Path, dwi, dirs, bvals, mask=None) -> dict:
    write_fsl(work / "t.bvec", work / "t.bval", dirs, bvals)
    kw = {} if mask is None else {"mask": str(mask)}
    report = json.loads(_native.detect_flip(str(dwi), bvec=str(work / "t.bvec"),
                                            bval=str(work / "t.bval"), **kw))
    return report


def check_cases(work, dwi, dirs, bvals, mask, multishell=False, skip=()):
    wrong = []
    for case, d, b, expected, suspects in table_corruptions(dirs, bvals, multishell):
        if case in skip:
            continue
        r = volumes(work, dwi, d, b, mask)
        v = r["volumes"]
        if v["pattern"] != expected or (suspects is not None and v["suspect"] != suspects):
            wrong.append((case, v["pattern"], v["suspect"][:8]))
        # A finding lifts a PASS to WARN, with its account among the reasons.
        if expected != "none":
            verdict, summary = r["verdict"], v["explanation"]["summary"]
            assert verdict["decision"] != "PASS" and summary in verdict["reasons"]
    assert wrong == []


@pytest.mark.parametrize("masked", [False, True])
def test_phantom_corruptions(tmp_path, masked):
    dwi, dirs, bvals, mask = save_phantom(tmp_path, snr=20.0)
    check_cases(tmp_path, dwi, dirs, bvals, mask if masked else None)


def test_multishell_b_value(tmp_path):
    dirs = np.vstack([np.zeros((3, 3)), sphere_directions(20, 7), sphere_directions(20, 8)])
    b = np.concatenate([np.zeros(3), np.full(20, 1000.0), np.full(20, 2000.0)])
    order = np.r_[0:3, 3 + np.argsort(np.r_[0:40] % 20, kind="stable")]
    dwi, dirs, bvals, _ = save_phantom(tmp_path, shape=(32, 32, 16), snr=25.0,
                                       table=(dirs[order], b[order]), seed=9)
    check_cases(tmp_path, dwi, dirs, bvals, None, multishell=True,
                skip={"swap_two", "shift_one", "rotate_30_oblique"})


@pytest.mark.parametrize("name", ["siemens_prisma_xa30_ax", "uih_dti16_ax"])
@pytest.mark.parametrize("masked", [False, True])
def test_real_scans(tmp_path, name, masked):
    folder = REAL / name
    dirs, bvals = np.loadtxt(folder / "dwi.bvec").T, np.loadtxt(folder / "dwi.bval")
    # Of these 20 b=2500 directions one swapped row fits its partner's row only under other
    # axes, without a mask (bench/volumes_sweep.py shows the margins).
    skip = {"swap_two"} if name.startswith("siemens") and not masked else set()
    mask = folder / "mask.nii.gz" if masked else None
    check_cases(tmp_path, folder / "dwi.nii.gz", dirs, bvals, mask, skip=skip)


def test_too_few_directions(tmp_path):
    dwi, dirs, bvals, _ = save_phantom(tmp_path, shape=(24, 24, 12), n_dirs=8, n_b0=2)
    v = volumes(tmp_path, dwi, dirs, bvals)["volumes"]
    assert (v["checked"], v["pattern"], v["suspect"], v["entries"]) == (False, "none", [], [])
    assert v["reason"] == ("every shell has fewer than 12 directions (the largest has 8): too few "
                           "to predict each volume from the others")


def test_user_road_report_summary_qc_and_repair(tmp_path):
    folder = REAL / "uih_dti16_ax"
    d = np.loadtxt(folder / "dwi.bvec")
    d[0, [3, 12]] *= -1
    np.savetxt(tmp_path / "x.bvec", d, fmt="%.6f")
    table = dict(bvec=tmp_path / "x.bvec", bval=folder / "dwi.bval")
    summary = "volumes 3 and 12 fit their rows under -x+y+z; the rest fit as given"

    report = orivex.detect_flip(folder / "dwi.nii.gz", **table)
    v = report.volumes
    assert isinstance(v, orivex.Volumes) and report.status == orivex.Status.WARN
    assert (v.checked, v.pattern, v.suspect, v.label, v.summary) == (
        True, "partial_flip", (3, 12), "-x+y+z", summary)
    assert [e.volume for e in v.entries] == list(range(1, 17))
    assert {e.volume: e.fits for e in v.entries if e.fits == "axes"} == {3: "axes", 12: "axes"}
    assert json.loads(report.to_json())["volumes"]["suspect"] == [3, 12]

    cli = [sys.executable, "-m", "orivex"]
    args = ["--dwi", str(folder / "dwi.nii.gz"), "--bvec", str(tmp_path / "x.bvec"),
            "--bval", str(folder / "dwi.bval")]
    qc = [] if UNDER_ASAN else ["--qc", str(tmp_path / "qc.png")]
    run = subprocess.run(cli + ["detect-flip", *args, *qc], capture_output=True, text=True)
    assert run.returncode == 3
    assert f"volumes: partial_flip: {summary}" in run.stdout.splitlines()
    assert UNDER_ASAN or (tmp_path / "qc.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    # Unasked, repair changes no row and says what it would do.
    out = dict(out_bvec=tmp_path / "o.bvec", out_bval=tmp_path / "o.bval")
    r = orivex.repair(folder / "dwi.nii.gz", **table, **out)
    assert r.repair is None and not (tmp_path / "o.bvec").exists()
    assert ("the volume check found partial_flip: repair would apply -x+y+z to the rows of the "
            "suspect volumes with --fix-volumes; no row was changed") in r.notes
    # Asked, it mends the two rows, and says so in the report and the provenance record; the
    # status stays that of the table as given.
    outputs = ["--out-bvec", str(out["out_bvec"]), "--out-bval", str(out["out_bval"])]
    run = subprocess.run(cli + ["repair", *args, *outputs, "--fix-volumes",
                                "--provenance", str(tmp_path / "p.json")],
                         capture_output=True, text=True)
    assert run.returncode == 3, run.stderr
    np.testing.assert_allclose(np.loadtxt(out["out_bvec"]), np.loadtxt(folder / "dwi.bvec"),
                               atol=1e-6)
    note = ("rows mended for the partial_flip finding (--fix-volumes): apply -x+y+z to the rows of "
            f"the suspect volumes; {summary}")
    assert note in run.stdout and json.loads((tmp_path / "p.json").read_text())["notes"] == [note]


def test_repair_leaves_other_findings_alone(tmp_path):
    folder = REAL / "uih_dti16_ax"
    d = np.loadtxt(folder / "dwi.bvec")
    d[:, [3, 9]] = d[:, [9, 3]]
    np.savetxt(tmp_path / "s.bvec", d, fmt="%.6f")
    r = orivex.repair(folder / "dwi.nii.gz", bvec=tmp_path / "s.bvec", bval=folder / "dwi.bval",
                      out_bvec=tmp_path / "o.bvec", out_bval=tmp_path / "o.bval", fix_volumes=True)
    assert r.volumes.pattern == "swapped_rows" and r.volumes.rows == (9, 3)
    assert r.repair is None and not (tmp_path / "o.bvec").exists()
    assert any(n.startswith("the volume check found swapped_rows: repair changes no row")
               for n in r.notes)


def test_bids_app_shows_the_pattern_per_run_and_counts_it_per_protocol(tmp_path, capsys):
    from conftest import real_bids_run
    from orivex import cli

    root = tmp_path / "study"
    real_bids_run(root, "01")
    real_bids_run(root, "02", flip_volumes=(3, 12))
    cli.main(["bids", str(root), "--no-qc"])
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[0] for line in lines[:2]] == ["PASS", "WARN"]
    out = root / "derivatives" / "orivex"
    tsv = [line.split("\t") for line in (out / "group_orientation.tsv").read_text().splitlines()]
    column = tsv[0].index("volumes")
    assert [row[column] for row in tsv[1:]] == ["none", "partial_flip"]
    sidecar = json.loads((out / "group_orientation.json").read_text())
    assert "partial_flip" in sidecar["volumes"]["Levels"]
    summary = orivex.BidsSummary.from_json((out / "dataset_summary.json").read_text())
    assert [r.volumes for r in summary.runs] == ["none", "partial_flip"]
    assert summary.protocols[0].volume_patterns == {"none": 1, "partial_flip": 1}
    page = (out / "orivex_report.html").read_text()
    # The run and its protocol.
    assert page.count('<span class="badge WARN">partial_flip</span>') == 2


def test_a_handful_of_voxels_is_not_judged(tmp_path):
    # Without fibres only a handful of voxels pass the FA threshold; six terms fitted to their
    # noise over 40 directions once called the right table foreign.
    from degrade import Scan, isotropic, rician

    p = brain_phantom(snr=30.0)
    scan = rician(isotropic(Scan(p.data, p.bvecs, p.bvals, AFFINE, p.brain)), 0.05)
    nib.save(nib.Nifti1Image(scan.data, AFFINE), tmp_path / "dwi.nii")
    r = volumes(tmp_path, tmp_path / "dwi.nii", p.bvecs, p.bvals)
    v = r["volumes"]
    assert (v["checked"], v["pattern"], v["explanation"]["summary"]) == (False, "none", "")
    assert v["evidence"]["voxels"] < 40 and v["evidence"]["noise_signal"] > 0.5
    assert v["reason"] == (f"too few voxels for the directions: noise alone would put "
                           f"{100 * v['evidence']['noise_signal']:.0f}% of the direction-dependent "
                           "signal in six terms, so single volumes cannot be judged")
    assert r["verdict"]["decision"] == "WARN"
