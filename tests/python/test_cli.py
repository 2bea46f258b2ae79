"""The orivex command line, driven as a user would: through the installed console script."""

import json
import os
import re
import shutil
import subprocess
import sys

import pytest

import _orivex
from conftest import UNDER_ASAN

PHANTOM = os.path.join(os.path.dirname(__file__), "..", "..", "python", "orivex", "data", "phantom")
ORIVEX = shutil.which("orivex") or os.path.join(os.path.dirname(sys.executable), "orivex")


def run(*args, cwd=None):
    return subprocess.run([ORIVEX, *args], capture_output=True, text=True, cwd=cwd)


@pytest.fixture
def phantom(tmp_path):
    for name in os.listdir(PHANTOM):
        shutil.copyfile(os.path.join(PHANTOM, name), tmp_path / name)
    return tmp_path


def test_version_and_help_document_exit_codes():
    r = run("--version")
    assert r.returncode == 0 and r.stdout.strip() == "orivex 1.1.6"
    r = run("--help")
    assert r.returncode == 0
    for sub in ("inspect", "audit", "detect-flip", "repair", "recompute-bval", "bids", "demo"):
        assert sub in r.stdout
    assert "3  WARN" in r.stdout and "4  FLAG with --fail-on flag" in r.stdout
    r = run("repair", "--help")
    assert "--force-repair" in r.stdout and "--dry-run" in r.stdout


def test_every_subcommand_has_examples_and_the_terms():
    for sub in ("inspect", "audit", "detect-flip", "repair", "recompute-bval", "bids", "demo"):
        r = run(sub, "--help")
        assert r.returncode == 0 and f"examples:\n  orivex {sub}" in r.stdout, sub
    r = run("audit", "--help")
    assert "cond         condition number" in r.stdout and "-x+y+z       a candidate" in r.stdout


def test_quiet_verbose_and_the_candidate_tables(phantom):
    args = ["audit", "--dwi", str(phantom / "dwi.nii.gz"), "--bvec", str(phantom / "dwi_xflip.bvec"),
            "--bval", str(phantom / "dwi.bval"), "--seeds", "300"]
    r = run(*args, "-q")
    assert r.returncode == 0 and r.stdout.splitlines() == [r.stdout.splitlines()[0]]
    assert r.stdout.startswith("status: FLAG")
    normal, verbose = run(*args).stdout, run(*args, "-v").stdout
    def rows(text, title):
        section = text.split(title)[1].split("\n  best")[0].split("verdict:")[0]
        return [line for line in section.splitlines() if re.match(r"\s+\d+\s+[+-][xyz][+-][xyz][+-][xyz]\b", line)]

    coherence = rows(verbose, "coherence, shown beside the verdict")
    labels = [line.split()[1] for line in coherence]
    assert len(labels) == 24 and not any(l.translate(str.maketrans("+-", "-+")) in labels for l in labels)
    assert [line.split()[0] for line in coherence] == [str(n) for n in range(1, 25)]
    assert "the table as given ranks" in normal and "<- as given" in normal
    assert len(rows(verbose, "tracking (")) == 24 > len(rows(normal, "tracking ("))
    assert "timings (" in verbose and "tracking" in verbose.split("timings (")[1]
    assert normal.count("(labels: the signed source axis") == 1 and "(cond: condition number" in normal


def test_memory_limit(phantom):
    args = ["detect-flip", "--dwi", str(phantom / "dwi.nii.gz"), "--bvec", str(phantom / "dwi_xflip.bvec"),
            "--bval", str(phantom / "dwi.bval")]
    r = run(*args, "--memory-limit", "10K")
    assert r.returncode == 1 and "more than the memory budget of 10.2 kB (10240 bytes)" in r.stderr
    assert run(*args, "--memory-limit", "1G", "-q").stdout.startswith("status: FLAG")
    for bad in ("8X", "-1G", "0", "", "1e3G"):
        r = run(*args, "--memory-limit", bad)
        assert r.returncode == 2 and "orivex: error: argument --memory-limit" in r.stderr, bad
    r = run(*args, "--memory-limit", "1G", "--evidence", "coherence")
    assert r.returncode == 2 and "--memory-limit needs --evidence tracking" in r.stderr


def test_usage_errors_exit_2_without_traceback():
    r = run("audit", "--tolerance", "abc")
    assert r.returncode == 2
    assert "orivex: error:" in r.stderr and "Traceback" not in r.stderr
    r = run("repair", "--dwi", "x.nii.gz")
    assert r.returncode == 2 and "--out-bvec" in r.stderr
    r = run("frobnicate")
    assert r.returncode == 2


def test_failures_exit_1_with_the_module_message(tmp_path):
    r = run("inspect", "--bvec", str(tmp_path / "no.bvec"), "--bval", str(tmp_path / "no.bval"))
    assert r.returncode == 1
    # The b-values are read first, so their file is the one named.
    assert r.stderr == f"orivex: error: --bval {tmp_path / 'no.bval'}: No such file or directory\n"
    r = run("inspect")
    assert r.returncode == 1
    assert r.stderr == "orivex: error: provide bvec and bval, or grad\n"


def test_json_is_the_module_output_unchanged(phantom):
    bvec, bval = str(phantom / "dwi.bvec"), str(phantom / "dwi.bval")
    r = run("inspect", "--bvec", bvec, "--bval", bval, "--json")
    assert r.returncode == 0
    ours = json.loads(r.stdout)
    direct = json.loads(_orivex.inspect(bvec=bvec, bval=bval))
    ours.pop("timestamp"), direct.pop("timestamp")
    assert ours == direct


def test_output_file_is_the_pretty_report(phantom, tmp_path):
    out = tmp_path / "report.json"
    r = run("inspect", "--bvec", str(phantom / "dwi.bvec"), "--bval", str(phantom / "dwi.bval"), "-o", str(out))
    assert r.returncode == 0
    text = out.read_text()
    assert text.startswith('{\n  "schema_version": 1,\n  "tool": "orivex",')
    assert json.loads(text)["status"] == "PASS"


def test_audit_flags_an_x_flip_and_fail_on_flag_exits_4(phantom):
    args = ["audit", "--dwi", str(phantom / "dwi.nii.gz"), "--bvec", str(phantom / "dwi_xflip.bvec"),
            "--bval", str(phantom / "dwi.bval")]
    r = run(*args)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("status: FLAG")
    assert "recommended correction: -x+y+z" in r.stdout
    assert run(*args, "--fail-on", "flag").returncode == 4


def test_sibling_table_is_used_and_announced(phantom):
    r = run("detect-flip", "--dwi", str(phantom / "dwi.nii.gz"))
    assert r.returncode == 0, r.stderr
    assert "using the table beside the image" in r.stderr
    assert r.stdout.startswith("status: PASS")


def test_profile_prints_stage_timings(phantom):
    r = run("audit", "--dwi", str(phantom / "dwi.nii.gz"), "--profile", "--threads", "2")
    assert r.returncode == 0, r.stderr
    assert "timings (2 threads):" in r.stdout
    for stage in ("decompress", "convert", "fit", "coherence", "other", "total"):
        assert stage in r.stdout


def test_repair_round_trip_in_place(phantom):
    dwi, bval = str(phantom / "dwi.nii.gz"), str(phantom / "dwi.bval")
    bvec = str(phantom / "dwi_xflip.bvec")
    original = open(bvec).read()
    # Without --force an existing output is refused and nothing changes.
    r = run("repair", "--dwi", dwi, "--bvec", bvec, "--bval", bval, "--out-bvec", bvec, "--out-bval", bval)
    assert r.returncode == 1 and "refusing to overwrite existing file" in r.stderr
    assert open(bvec).read() == original
    r = run("repair", "--dwi", dwi, "--bvec", bvec, "--bval", bval, "--out-bvec", bvec, "--out-bval", bval, "--force")
    assert r.returncode == 0, r.stderr
    assert "applied -x+y+z" in r.stdout
    assert open(bvec + ".bak").read() == original
    r = run("audit", "--dwi", dwi, "--bvec", bvec, "--bval", bval, "--json")
    report = json.loads(r.stdout)
    assert report["flip"]["best"]["label"] == "+x+y+z" and report["flip"]["decision"] == "PASS"


def test_recompute_bval_dry_run(tmp_path):
    (tmp_path / "a.bvec").write_text("0 1 0 0\n0 0 0.7071 0\n0 0 0 0.5\n")
    (tmp_path / "a.bval").write_text("0 1000 1000 1000\n")
    r = run("recompute-bval", "--bvec", str(tmp_path / "a.bvec"), "--bval", str(tmp_path / "a.bval"),
            "--out-bvec", str(tmp_path / "b.bvec"), "--out-bval", str(tmp_path / "b.bval"), "--dry-run")
    assert r.returncode == 0, r.stderr
    assert "dry run: nothing written" in r.stdout
    assert not (tmp_path / "b.bvec").exists()


def test_demo_runs_on_the_packaged_real_scan():
    r = run("demo")
    assert r.returncode == 0, r.stderr
    assert "a real brain scan" in r.stdout
    assert r.stdout.count("status: FLAG") == 1  # the report is printed once
    assert "verdict: FLAG -x+y+z" in r.stdout
    assert "recommended correction: -x+y+z" in r.stdout
    assert "repair (dry run): would apply -x+y+z" in r.stdout
    assert "Next, write the corrected table" in r.stdout


def test_verdict_by_default_and_coherence_on_request(phantom, tmp_path):
    args = ["detect-flip", "--dwi", str(phantom / "dwi.nii.gz"), "--bvec", str(phantom / "dwi_xflip.bvec"),
            "--bval", str(phantom / "dwi.bval")]
    r = run(*args, "--json")
    assert r.returncode == 0, r.stderr
    report = json.loads(r.stdout)
    assert report["status"] == report["verdict"]["decision"] == "FLAG"
    assert report["verdict"]["recommended_label"] == "-x+y+z"
    r = run(*args, "--evidence", "coherence", "--json")
    ours = json.loads(r.stdout)
    direct = json.loads(_orivex.detect_flip(args[2], bvec=args[4], bval=args[6]))
    ours.pop("timestamp"), direct.pop("timestamp")
    assert ours == direct
    qc = [] if UNDER_ASAN else ["--qc", str(tmp_path / "qc.png")]
    r = run(*args, "--seeds", "300", *qc, "-o", str(tmp_path / "r.json"))
    assert r.returncode == 0, r.stderr
    assert "verdict: FLAG -x+y+z" in r.stdout and "the table as given ranks" in r.stdout
    assert "coherence, shown beside the verdict" in r.stdout
    assert UNDER_ASAN or (tmp_path / "qc.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    saved = json.loads((tmp_path / "r.json").read_text())
    assert saved["tracking"]["seeds"] == 300 and list(saved)[-3:] == ["tracking", "verdict", "volumes"]


def test_repair_on_warn_prints_the_best_candidate_and_the_command(phantom, tmp_path):
    args = ["repair", "--dwi", str(phantom / "dwi.nii.gz"), "--bvec", str(phantom / "dwi_xflip.bvec"),
            "--bval", str(phantom / "dwi.bval"), "--out-bvec", str(tmp_path / "f.bvec"),
            "--out-bval", str(tmp_path / "f.bval"), "--verdict-margin", "1"]
    r = run(*args)
    assert r.returncode == 3, r.stdout + r.stderr
    assert "repair: nothing applied" in r.stdout
    assert "best candidate: -x+y+z" in r.stdout
    command = r.stdout.split("To apply it anyway:\n  ")[1].splitlines()[0]
    assert command.endswith("--verdict-margin 1 --force-repair") and not (tmp_path / "f.bvec").exists()
    r = subprocess.run(command.replace("orivex", ORIVEX, 1), shell=True, capture_output=True, text=True)
    assert r.returncode == 3 and "repair: applied -x+y+z" in r.stdout, r.stdout + r.stderr
    assert (tmp_path / "f.bvec").exists()


def test_bids_prints_one_line_per_run_and_exits_with_the_summary_code(tmp_path):
    from conftest import make_phantom

    COHERENCE = ("--no-qc", "--evidence", "coherence")  # phantoms of 8^3 voxels are too small to track

    root = tmp_path / "study"
    make_phantom(root / "sub-01" / "dwi", name="sub-01_dwi")
    make_phantom(root / "sub-02" / "dwi", name="sub-02_dwi", flip_axis=0)
    r = run("bids", str(root), *COHERENCE)
    assert r.returncode == 0, r.stderr  # FLAG exits 0 unless asked otherwise
    lines = r.stdout.splitlines()
    assert lines[0].split()[::3] == ["PASS", "sub-01/dwi/sub-01_dwi.nii.gz"]
    assert lines[1].split()[:2] == ["FLAG", "-x+y+z"]
    assert lines[2].startswith("participant level: 2 runs: 1 PASS, 0 WARN, 1 FLAG, 0 ERROR")
    assert lines[-1].startswith("dataset: FLAG; summary at ")
    assert (root / "derivatives" / "orivex" / "dataset_summary.json").is_file()
    assert run("bids", str(root), "--fail-on", "flag", *COHERENCE).returncode == 4
    # Without the FLAG run, a WARN run makes the whole dataset WARN, which exits 3.
    shutil.rmtree(root / "sub-02")
    warn = make_phantom(root / "sub-03" / "dwi", name="sub-03_dwi")
    rows = [line.split() for line in open(warn["bvec"]).read().splitlines() if line.strip()]
    with open(warn["bvec"], "w") as f:  # halved lengths: amplitude-encoded, a WARN finding
        f.write("\n".join(" ".join(str(float(v) / 2) for v in row) for row in rows) + "\n")
    r = run("bids", str(root), str(tmp_path / "out"), "participant", *COHERENCE)
    assert r.returncode == 3, r.stdout + r.stderr
    assert r.stdout.splitlines()[1].split()[0] == "WARN"


def test_bids_on_an_empty_dataset_fails_cleanly(tmp_path):
    r = run("bids", str(tmp_path))
    assert r.returncode == 1
    assert r.stderr == f"orivex: error: no DWI runs (sub-*/[ses-*/]dwi/*_dwi.nii[.gz]) found under {tmp_path}\n"
    assert not (tmp_path / "derivatives").exists()
