"""Hostile and broken inputs through the command line and the module: non-finite data, resource
limits, output safety and rollback. No crash, no traceback, no file clobbered, nothing lost."""

import json
import os
import resource
import shutil
import signal
import subprocess
import sys

import nibabel as nib
import numpy as np
import pytest

import _orivex
from conftest import NO_FIGURES_UNDER_ASAN, make_phantom, sha256

ORIVEX = shutil.which("orivex") or os.path.join(os.path.dirname(sys.executable), "orivex")


def run(*args, fsize=None):
    """The console script; `fsize` caps every file it writes, as a full disk would."""

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

    return subprocess.run([ORIVEX, *map(str, args)], capture_output=True, text=True, timeout=300,
                          preexec_fn=limit if fsize is not None else None)


def failed(r, code=1):
    assert r.returncode == code and "Traceback" not in r.stderr, r.stdout + r.stderr
    return r.stderr


@pytest.fixture
def small(tmp_path):
    return make_phantom(tmp_path / "in", shape=(6, 6, 6), n_dirs=15, n_b0=2)


def rewrite_dwi(p, data=None, slope=None, header=None):
    img = nib.load(p["dwi"])
    out = nib.Nifti1Image(np.asanyarray(img.dataobj) if data is None else data, img.affine)
    if slope is not None:
        out.header.set_slope_inter(slope, 0.0)
    if header is not None:
        header(out.header)
        out.update_header = lambda: None  # keep broken fields as written
    out.to_filename(p["dwi"])


def audit(p, **kw):
    return json.loads(_orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=p["dwi"], **kw))


# ---- non-finite data ------------------------------------------------------------------------

@pytest.mark.parametrize("poison", ["+inf b0 voxel", "nan/inf mix", "inf slab"])
def test_non_finite_voxels_are_left_out_and_the_verdict_stands(small, poison):
    data = np.asanyarray(nib.load(small["dwi"]).dataobj).astype(np.float32)
    if poison == "+inf b0 voxel":
        data[3, 3, 3, 0] = np.inf
    elif poison == "nan/inf mix":
        data[1, 2, 3, :], data[2, 2, 2, 5], data[4, 1, 0, 1] = np.nan, np.inf, -np.inf
    else:
        data[:, :, 0, :] = np.inf
    rewrite_dwi(small, data)
    report = audit(small)
    assert report["status"] == "PASS"
    assert report["b0_drift"]["relative_drift"] is not None  # not NaN from one bad voxel


NO_VOXEL = ("DTI fit failed: no usable voxel for flip detection (each is below the minimum "
            "signal, holds a non-finite value or gave no tensor)")


@pytest.mark.parametrize("image", ["all nan", "all inf", "scl_slope 1e38"])
@pytest.mark.parametrize("masked", [False, True])
def test_image_without_a_usable_voxel_never_passes(small, image, masked):
    if image == "scl_slope 1e38":  # integers whose scaled values overflow float32
        rewrite_dwi(small, np.asanyarray(nib.load(small["dwi"]).dataobj).astype(np.int16), 1e38)
    else:
        rewrite_dwi(small, np.full((6, 6, 6, 17), np.nan if image == "all nan" else np.inf, np.float32))
    with pytest.raises(ValueError) as info:
        audit(small, **({"mask": small["mask"]} if masked else {}))
    assert str(info.value) == NO_VOXEL


def test_mask_without_neighbours_warns_instead_of_passing(small):
    mask = np.zeros((6, 6, 6), np.uint8)
    mask[3, 3, 3] = 1  # one voxel: nothing to compare its direction with
    nib.save(nib.Nifti1Image(mask, nib.load(small["mask"]).affine), small["mask"])
    report = audit(small, mask=small["mask"])
    assert report["status"] == "WARN"
    assert ("flip detection found no neighbouring fibre directions to compare — the table could "
            "not be checked against the image") in report["notes"]


@pytest.mark.parametrize("field", ["srow_x", "pixdim"])
def test_non_finite_affine_is_refused_not_turned_into_a_flag(small, field):
    def corrupt(h):
        h[field][1] = np.inf if field == "srow_x" else np.nan
        if field == "pixdim":
            h.set_sform(None, code=0)
            h.set_qform(None, code=0)

    rewrite_dwi(small, header=corrupt)
    for table in ({"bvec": small["bvec"], "bval": small["bval"]}, {"grad": small["grad"]}):
        with pytest.raises(ValueError, match="^NIfTI error: the voxel-to-world affine holds "
                                             "non-finite values$"):
            _orivex.audit(dwi=small["dwi"], **table)


def test_table_values_are_finite_or_refused_and_text_mode_never_breaks(tmp_path):
    bvec, bval = tmp_path / "t.bvec", tmp_path / "t.bval"
    bvec.write_text("0 1 0\n0 0 1e999\n0 0 0\n")
    bval.write_text("0 1000 1000\n")
    assert failed(run("inspect", "--bvec", bvec, "--bval", bval)) == (
        f'orivex: error: failed to parse {bvec}: not a finite number: "1e999"\n')
    # Finite, but squares overflow: norms come back as null and print as n/a.
    bvec.write_text("0 1e200 1\n0 1e200 0\n0 0 0\n")
    bval.write_text("0 1e300 1000\n")
    r = run("inspect", "--bvec", bvec, "--bval", bval)
    assert r.returncode == 0 and "max n/a" in r.stdout, r.stderr


# ---- resource limits ------------------------------------------------------------------------

def test_sparse_giant_sidecar_is_skipped_without_reading_it(tmp_path):
    make_phantom(tmp_path / "sub-01" / "dwi", shape=(6, 6, 6), n_dirs=15, name="sub-01_dwi")
    with open(tmp_path / "sub-01" / "dwi" / "sub-01_dwi.json", "wb") as f:
        f.truncate(30 << 30)
    assert json.loads(_orivex.audit_bids(str(tmp_path)))["status"] == "PASS"


class Panic(BaseException):
    """Like the module's PanicException: deliberately not an Exception."""


@pytest.mark.parametrize("failure", [MemoryError(), Panic("broken invariant"), RuntimeError()])
def test_every_failure_is_one_line_without_traceback(small, monkeypatch, capsys, failure):
    from orivex import cli

    def boom(**kw):
        raise failure

    monkeypatch.setattr(_orivex, "inspect", boom)
    assert cli.main(["inspect", "--bvec", small["bvec"], "--bval", small["bval"]]) == 1
    err = capsys.readouterr().err
    assert err.startswith("orivex: error: ") and err.count("\n") == 1
    assert ("out of memory" in err) == isinstance(failure, MemoryError)


# ---- usability of failures ------------------------------------------------------------------

def test_errors_name_the_option_and_the_file(small, tmp_path):
    nope = tmp_path / "nope"
    assert failed(run("inspect", "--bvec", f"{nope}.bvec", "--bval", small["bval"])) == (
        f"orivex: error: --bvec {nope}.bvec: No such file or directory\n")
    # A missing image is about the image, not about the table that could not be found beside it.
    assert failed(run("audit", "--dwi", f"{nope}.nii.gz")) == (
        f"orivex: error: --dwi {nope}.nii.gz: No such file or directory\n")
    assert failed(run("inspect", "--grad", small["grad"], "-o", f"{nope}/r.json")) == (
        f"orivex: error: -o {nope}/r.json: No such file or directory\n")


@pytest.mark.parametrize("option,value", [
    ("--step", "0"), ("--step", "-1"), ("--step", "nan"), ("--tolerance", "nan"),
    ("--shell", "inf"), ("--b0-threshold", "-1"), ("--margin-threshold", "1.5"),
])
def test_invalid_numbers_are_usage_errors(small, option, value):
    assert f"orivex: error: argument {option}: " in failed(
        run("audit", "--dwi", small["dwi"], option, value), code=2)


# ---- output safety --------------------------------------------------------------------------

@pytest.mark.parametrize("option", ["-o", "--provenance"])
def test_outputs_never_replace_an_input(tmp_path, option):
    p = make_phantom(tmp_path, shape=(6, 6, 6), n_dirs=15, n_b0=2, flip_axis=0)
    before = sha256(p["bvec"])
    args = ["repair", "--dwi", p["dwi"], "--bvec", p["bvec"], "--bval", p["bval"],
            "--out-bvec", tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval", "--force"]
    for target in (p["bvec"], p["dwi"]):
        assert failed(run(*args, option, target)).startswith(
            f"orivex: error: {option} {target}: refusing to overwrite an input file")
    assert sha256(p["bvec"]) == before and not (tmp_path / "o.bvec").exists()


def test_saved_report_needs_force_keeps_a_backup_and_never_follows_links(small, tmp_path):
    args = ["inspect", "--bvec", small["bvec"], "--bval", small["bval"], "-o"]
    out = tmp_path / "r.json"
    out.write_text("mine\n")
    assert failed(run(*args, out)) == (
        f"orivex: error: -o {out}: refusing to overwrite existing file (pass --force to allow)\n")
    assert run(*args, out, "--force").returncode == 0
    assert (tmp_path / "r.json.bak").read_text() == "mine\n"
    assert json.loads(out.read_text())["status"] == "PASS"
    # A link is moved aside as the link; what it points to is never written.
    link = tmp_path / "l.json"
    link.symlink_to(small["grad"])
    before = sha256(small["grad"])
    assert run(*args, link, "--force").returncode == 0
    assert sha256(small["grad"]) == before and os.readlink(f"{link}.bak") == small["grad"]
    assert not link.is_symlink()


# ---- rollback -------------------------------------------------------------------------------

COHERENCE = ("--evidence", "coherence")  # a phantom of 6^3 voxels is too small to track

def test_in_place_repair_on_a_full_disk_puts_the_originals_back(tmp_path):
    p = make_phantom(tmp_path, shape=(6, 6, 6), n_dirs=15, n_b0=2, flip_axis=0)
    (tmp_path / "p.json").write_text('{"earlier": "record"}')
    before = {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)}
    err = failed(run("repair", "--dwi", p["dwi"], "--bvec", p["bvec"], "--bval", p["bval"],
                     "--out-bvec", p["bvec"], "--out-bval", p["bval"], "--out-grad", p["grad"],
                     "--provenance", tmp_path / "p.json", "--force", *COHERENCE, fsize=600))
    assert err == "orivex: error: I/O error: File too large (os error 27)\n"
    assert {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)} == before


def test_full_disk_never_truncates_a_report_or_summary(tmp_path):
    sub = make_phantom(tmp_path / "sub-01" / "dwi", shape=(6, 6, 6), n_dirs=15, name="sub-01_dwi")
    assert run("bids", tmp_path, *COHERENCE, *NO_FIGURES_UNDER_ASAN).returncode == 0
    out = tmp_path / "derivatives" / "orivex"
    files = lambda: {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}  # noqa: E731
    before = files()
    failed(run("bids", tmp_path, *COHERENCE, *NO_FIGURES_UNDER_ASAN, "--force", fsize=512))
    assert files() == before
    report = tmp_path / "r.json"
    report.write_text("kept\n")
    assert failed(run("inspect", "--grad", sub["grad"], "-o", report, "--force", fsize=64)) == (
        f"orivex: error: -o {report}: File too large\n")
    assert sorted(os.listdir(tmp_path)) == ["derivatives", "r.json", "sub-01"]
    assert report.read_text() == "kept\n"
