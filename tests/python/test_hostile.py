"""Hostile and broken inputs, driven through the command line and the module: non-finite data,
resource limits, output safety and rollback. Each ends in a clear error or a sound verdict; no
crash, no traceback, no file clobbered, nothing lost."""

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
from conftest import make_phantom, sha256

ORIVEX = shutil.which("orivex") or os.path.join(os.path.dirname(sys.executable), "orivex")


def run(*args, fsize=None):
    """The console script; `fsize` caps the size of every file it writes, as a full disk would."""

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

    return subprocess.run([ORIVEX, *map(str, args)], capture_output=True, text=True, timeout=300,
                          preexec_fn=limit if fsize is not None else None)


def failed(r, code=1):
    assert r.returncode == code, r.stdout + r.stderr
    assert "Traceback" not in r.stderr
    return r.stderr


@pytest.fixture
def small(tmp_path):
    return make_phantom(tmp_path / "in", shape=(6, 6, 6), n_dirs=15, n_b0=2)


def with_image(p, data, slope=None):
    """Rewrites the phantom's DWI with `data` (and a scl_slope)."""
    img = nib.load(p["dwi"])
    out = nib.Nifti1Image(data, img.affine)
    if slope is not None:
        out.header.set_slope_inter(slope, 0.0)
    nib.save(out, p["dwi"])
    return p


def audit(p, **kw):
    return json.loads(_orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=p["dwi"], **kw))


# ---- non-finite data ------------------------------------------------------------------------

@pytest.mark.parametrize("poison", ["+inf b0 voxel", "-inf b0 voxel", "nan/inf mix", "inf slab"])
def test_non_finite_voxels_are_left_out_and_the_verdict_stands(small, poison):
    data = np.asanyarray(nib.load(small["dwi"]).dataobj).astype(np.float32)
    if poison == "+inf b0 voxel":
        data[3, 3, 3, 0] = np.inf
    elif poison == "-inf b0 voxel":
        data[0, 0, 0, 0] = -np.inf
    elif poison == "nan/inf mix":
        data[1, 2, 3, :] = np.nan
        data[2, 2, 2, 5] = np.inf
        data[4, 1, 0, 1] = -np.inf
    else:
        data[:, :, 0, :] = np.inf
    report = audit(with_image(small, data))
    assert report["status"] == "PASS"
    # The b0 drift is measured over the finite voxels, not turned into NaN (null).
    assert report["b0_drift"]["relative_drift"] is not None


def test_overflowing_scale_slope_is_handled(small):
    # The phantom stored as integers with scl_slope 1e38: every scaled value overflows float32.
    data = np.asanyarray(nib.load(small["dwi"]).dataobj).astype(np.int16)
    with pytest.raises(ValueError) as info:
        audit(with_image(small, data, slope=1e38))
    assert str(info.value).startswith("DTI fit failed: no usable voxel")


@pytest.mark.parametrize("field,value", [("srow_x", np.nan), ("srow_y", np.inf), ("pixdim", np.nan)])
def test_non_finite_affine_is_refused_not_turned_into_a_flag(small, field, value):
    # Frame maps from such an affine flagged a correct table; the image has no frame at all.
    img = nib.load(small["dwi"])
    out = nib.Nifti1Image(np.asanyarray(img.dataobj), img.affine)
    out.header[field][1] = value
    if field == "pixdim":
        out.header.set_sform(None, code=0)
        out.header.set_qform(None, code=0)
    out.update_header = lambda: None  # keep the broken fields as written
    out.to_filename(small["dwi"])
    for table in ({"bvec": small["bvec"], "bval": small["bval"]}, {"grad": small["grad"]}):
        with pytest.raises(ValueError) as info:
            _orivex.audit(dwi=small["dwi"], **table)
        assert str(info.value) == "NIfTI error: the voxel-to-world affine holds non-finite values"


@pytest.mark.parametrize("value", [np.nan, np.inf])
@pytest.mark.parametrize("masked", [False, True])
def test_image_without_a_usable_voxel_never_passes(small, value, masked):
    data = np.full((6, 6, 6, 17), value, np.float32)
    kw = {"mask": small["mask"]} if masked else {}
    with pytest.raises(ValueError) as info:
        audit(with_image(small, data), **kw)
    assert str(info.value) == ("DTI fit failed: no usable voxel for flip detection (each is below "
                               "the minimum signal, holds a non-finite value or gave no tensor)")


def test_mask_without_neighbours_warns_instead_of_passing(small):
    mask = np.zeros((6, 6, 6), np.uint8)
    mask[3, 3, 3] = 1  # one voxel: nothing to compare its direction with
    nib.save(nib.Nifti1Image(mask, nib.load(small["mask"]).affine), small["mask"])
    report = audit(small, mask=small["mask"])
    assert report["status"] == "WARN"
    assert ("flip detection found no neighbouring fibre directions to compare — the table could "
            "not be checked against the image") in report["notes"]


@pytest.mark.parametrize("token", ["inf", "1e999", "nan", "-Infinity"])
def test_non_finite_table_values_are_parse_errors(tmp_path, token):
    bvec, bval, grad = tmp_path / "t.bvec", tmp_path / "t.bval", tmp_path / "t.b"
    bvec.write_text(f"0 1 0\n0 0 {token}\n0 0 0\n")
    bval.write_text("0 1000 1000\n")
    grad.write_text(f"0 0 0 0\n1 0 0 {token}\n")
    assert failed(run("inspect", "--bvec", bvec, "--bval", bval)) == (
        f'orivex: error: failed to parse {bvec}: not a finite number: "{token}"\n')
    bval.write_text(f"0 {token} 1000\n")
    assert failed(run("inspect", "--bvec", bvec, "--bval", bval)) == (
        f'orivex: error: failed to parse {bval}: not a finite number: "{token}"\n')
    assert failed(run("inspect", "--grad", grad)) == (
        f'orivex: error: failed to parse {grad}: not a finite number: "{token}"\n')


def test_negative_b_value_is_a_parse_error_not_a_b0(tmp_path):
    (tmp_path / "t.bvec").write_text("0 1\n0 0\n0 0\n")
    (tmp_path / "t.bval").write_text("-0 -1000\n")
    with pytest.raises(ValueError) as info:
        _orivex.inspect(bvec=str(tmp_path / "t.bvec"), bval=str(tmp_path / "t.bval"))
    assert str(info.value) == f'failed to parse {tmp_path / "t.bval"}: negative b-value: "-1000"'


def test_text_summary_survives_huge_finite_values(tmp_path):
    # Finite, but their squares overflow: norms and energies come back as null.
    (tmp_path / "t.bvec").write_text("0 1e200 1\n0 1e200 0\n0 0 0\n")
    (tmp_path / "t.bval").write_text("0 1e300 1000\n")
    r = run("inspect", "--bvec", tmp_path / "t.bvec", "--bval", tmp_path / "t.bval")
    assert r.returncode in (0, 3) and r.stdout.startswith("status: "), r.stderr


# ---- resource limits ------------------------------------------------------------------------

@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_endless_text_inputs_stop_at_the_cap(tmp_path, device):
    (tmp_path / "t.bval").write_text("0\n")
    message = "larger than 16 MiB, far beyond any gradient table or sidecar"
    assert failed(run("inspect", "--grad", device)) == (
        f"orivex: error: failed to parse {device}: {message}\n")
    assert failed(run("inspect", "--bvec", device, "--bval", tmp_path / "t.bval")) == (
        f"orivex: error: failed to parse {device}: {message}\n")


def test_sparse_giant_sidecar_is_skipped_without_reading_it(tmp_path):
    make_phantom(tmp_path / "sub-01" / "dwi", shape=(6, 6, 6), n_dirs=15, name="sub-01_dwi")
    with open(tmp_path / "sub-01" / "dwi" / "sub-01_dwi.json", "wb") as f:
        f.truncate(30 << 30)
    summary = json.loads(_orivex.audit_bids(str(tmp_path)))
    assert summary["status"] == "PASS"
    report = json.loads((tmp_path / "derivatives/orivex/sub-01_dwi_report.json").read_text())
    assert not any(n.startswith("BIDS sidecar") for n in report["notes"])


class Panic(BaseException):
    """Like the module's PanicException: deliberately not an Exception."""


@pytest.mark.parametrize("failure", [MemoryError(), MemoryError("std::bad_alloc"),
                                     Panic("broken invariant"), RuntimeError()])
def test_every_failure_is_one_line_without_traceback(small, monkeypatch, capsys, failure):
    from orivex import cli

    def boom(**kw):
        raise failure

    monkeypatch.setattr(cli._orivex, "inspect", boom)
    assert cli.main(["inspect", "--bvec", small["bvec"], "--bval", small["bval"]]) == 1
    err = capsys.readouterr().err
    assert err.startswith("orivex: error: ") and err.count("\n") == 1
    if isinstance(failure, MemoryError):
        assert err.startswith("orivex: error: out of memory")


# ---- usability of failures ------------------------------------------------------------------

def test_errors_name_the_option_and_the_file(small, tmp_path):
    nope = tmp_path / "nope"
    assert failed(run("inspect", "--bvec", f"{nope}.bvec", "--bval", small["bval"])) == (
        f"orivex: error: --bvec {nope}.bvec: No such file or directory\n")
    assert failed(run("inspect", "--grad", tmp_path)) == (
        f"orivex: error: --grad {tmp_path}: Is a directory\n")
    # A missing image is about the image, not about the table that could not be found beside it.
    assert failed(run("audit", "--dwi", f"{nope}.nii.gz")) == (
        f"orivex: error: --dwi {nope}.nii.gz: No such file or directory\n")
    assert failed(run("audit", "--dwi", small["dwi"], "--mask", f"{nope}.nii.gz")).endswith(
        f"\norivex: error: --mask {nope}.nii.gz: No such file or directory\n")


@pytest.mark.parametrize("option,value", [
    ("--step", "0"), ("--step", "-1"), ("--step", "nan"), ("--tolerance", "nan"),
    ("--tolerance", "-0.1"), ("--shell", "inf"), ("--shell", "0"), ("--b0-threshold", "-inf"),
    ("--margin-threshold", "0"), ("--margin-threshold", "1.5"), ("--norm-tolerance", "nan"),
])
def test_invalid_numbers_are_usage_errors(small, option, value):
    err = failed(run("audit", "--dwi", small["dwi"], option, value), code=2)
    assert f"orivex: error: argument {option}: " in err


# ---- output safety --------------------------------------------------------------------------

def inspect_args(p):
    return ["inspect", "--bvec", p["bvec"], "--bval", p["bval"]]


@pytest.mark.parametrize("option", ["-o", "--provenance"])
def test_outputs_never_replace_an_input(small, tmp_path, option):
    flipped = make_phantom(tmp_path / "f", shape=(6, 6, 6), n_dirs=15, n_b0=2, flip_axis=0)
    before = sha256(flipped["bvec"])
    args = ["repair", "--dwi", flipped["dwi"], "--bvec", flipped["bvec"], "--bval", flipped["bval"],
            "--out-bvec", tmp_path / "o.bvec", "--out-bval", tmp_path / "o.bval", "--force"]
    for target in (flipped["bvec"], flipped["dwi"]):
        err = failed(run(*args, option, target))
        assert err.startswith(f"orivex: error: {option} {target}: refusing to overwrite an input file")
    assert sha256(flipped["bvec"]) == before
    assert not (tmp_path / "o.bvec").exists()


def test_saved_report_needs_force_and_keeps_a_backup(small, tmp_path):
    out = tmp_path / "r.json"
    out.write_text("mine\n")
    assert failed(run(*inspect_args(small), "-o", out)) == (
        f"orivex: error: -o {out}: refusing to overwrite existing file (pass --force to allow)\n")
    assert out.read_text() == "mine\n"
    r = run(*inspect_args(small), "-o", out, "--force")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "r.json.bak").read_text() == "mine\n"
    assert json.loads(out.read_text())["status"] == "PASS"
    assert sorted(os.listdir(tmp_path)) == ["in", "r.json", "r.json.bak"]


def test_saved_report_never_writes_through_a_link(small, tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    link = tmp_path / "r.json"
    link.symlink_to(victim)
    failed(run(*inspect_args(small), "-o", link))
    assert run(*inspect_args(small), "-o", link, "--force").returncode == 0
    assert victim.read_text() == "precious\n"
    assert os.readlink(tmp_path / "r.json.bak") == str(victim)
    assert not link.is_symlink() and json.loads(link.read_text())["status"] == "PASS"
    os.remove(link)
    link.symlink_to("/dev/null")
    assert "refusing to write through a symbolic link" in failed(
        run(*inspect_args(small), "-o", link, "--force"))


def test_bids_reports_stay_in_the_dataset(tmp_path):
    root, outside = tmp_path / "ds", tmp_path / "outside"
    make_phantom(root / "sub-01" / "dwi", shape=(6, 6, 6), n_dirs=15, name="sub-01_dwi")
    outside.mkdir()
    (root / "derivatives").symlink_to(outside)
    assert failed(run("bids", root)) == (
        f"orivex: error: refusing to write through a symbolic link: {root}/derivatives\n")
    assert os.listdir(outside) == []


# ---- rollback -------------------------------------------------------------------------------

def test_in_place_repair_on_a_full_disk_puts_the_originals_back(tmp_path):
    p = make_phantom(tmp_path, shape=(6, 6, 6), n_dirs=15, n_b0=2, flip_axis=0)
    (tmp_path / "p.json").write_text('{"earlier": "record"}')
    before = {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)}
    err = failed(run("repair", "--dwi", p["dwi"], "--bvec", p["bvec"], "--bval", p["bval"],
                     "--out-bvec", p["bvec"], "--out-bval", p["bval"], "--out-grad", p["grad"],
                     "--provenance", tmp_path / "p.json", "--force", fsize=600))
    assert err == "orivex: error: I/O error: File too large (os error 27)\n"
    assert {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)} == before


def test_full_disk_never_truncates_a_report_or_summary(tmp_path):
    make_phantom(tmp_path / "sub-01" / "dwi", shape=(6, 6, 6), n_dirs=15, name="sub-01_dwi")
    assert run("bids", tmp_path).returncode == 0
    out = tmp_path / "derivatives" / "orivex"
    before = {name: (out / name).read_text() for name in os.listdir(out)}
    failed(run("bids", tmp_path, fsize=512))
    assert {name: (out / name).read_text() for name in os.listdir(out)} == before
    # The command line's own report too.
    report = tmp_path / "r.json"
    report.write_text("kept\n")
    sub = tmp_path / "sub-01" / "dwi"
    err = failed(run("inspect", "--bvec", sub / "sub-01_dwi.bvec", "--bval", sub / "sub-01_dwi.bval",
                     "-o", report, "--force", fsize=64))
    assert err == f"orivex: error: -o {report}: File too large\n"
    assert report.read_text() == "kept\n"
    assert sorted(os.listdir(tmp_path)) == ["derivatives", "r.json", "sub-01"]
