"""Hostile and careless inputs against the API, the BIDS App and the group level: one range check
for every door, bounded reads (no FIFO blocks, no link is followed, no file is read without a
cap), bad files named or listed while the rest goes on, and bounded waits."""

import json
import os

import nibabel as nib
import numpy as np
import pytest

import _orivex
import orivex
from conftest import make_phantom
from orivex import _native
from orivex.bidsapp import dask_backend, discovery, safe_read
from test_bidsapp import dataset
from test_hostile import failed, run

APP = ("--evidence", "coherence", "--no-qc")
CAP = 4 * len(os.sched_getaffinity(0))


@pytest.fixture
def small(tmp_path):
    return make_phantom(tmp_path / "in", shape=(8, 8, 8), n_dirs=30)


# ---- one range check for every door -------------------------------------------------------------

@pytest.mark.parametrize("option,value,message", [
    ("tolerance", -5, "tolerance must be finite and at least 0: -5"),
    ("tolerance", float("nan"), "tolerance must be finite and at least 0: NaN"),
    ("b0_threshold", float("inf"), "b0_threshold must be finite and at least 0: inf"),
    ("norm_tolerance", -1, "norm_tolerance must be finite and at least 0: -1"),
    ("shell", float("nan"), "shell must be finite and above 0: NaN"),
    ("step", -1, "step must be finite and above 0: -1"),
    ("margin_threshold", 5, "margin threshold must be finite and in (0, 1]: 5"),
    ("seeds", 0, "seeds must be a positive integer"),
    ("seeds", -5, "seeds must be a positive integer"),
    ("memory_limit", -1, "memory_limit must be at least 1 byte"),
    ("verdict_margin", 0, "verdict_margin must be finite and in (0, 1]: 0"),
    ("threads", 0, "threads must be a positive integer"),
    ("threads", -1, "threads must be a positive integer"),
    ("threads", CAP + 1, f"threads must be at most {CAP} (four per processor this process may use)"),
    ("threads", 10**30, f"threads must be at most {CAP} (four per processor this process may use)"),
])
def test_every_door_refuses_an_option_out_of_range_alike(small, option, value, message):
    files = (small["dwi"], small["bvec"], small["bval"])
    calls = [lambda: orivex.audit(*files, **{option: value}),
             lambda: _native.audit(*files, **{option: value}),
             lambda: _native.check_options(**{option: value})]
    if option not in ("seeds", "verdict_margin", "step", "margin_threshold", "memory_limit"):
        calls.append(lambda: orivex.inspect(*files[1:], **{option: value}))
    for call in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    if option == "tolerance" and value == -5:  # _orivex reads it as its shell grouping defines
        shells = json.loads(_orivex.inspect(small["bvec"], small["bval"], tolerance=-5))["shells"]
        assert len(shells["shells"]) == 31


@pytest.mark.parametrize("args,message", [
    (("inspect", "--threads", 10**30),
     f"argument --threads: threads must be at most {CAP} (four per processor this process may use)"),
    (("inspect", "--tolerance", "-5"), "argument --tolerance: tolerance must be finite and at least 0: -5"),
    (("audit", "--step", "nan"), "argument --step: step must be finite and above 0: NaN"),
    (("audit", "--seeds", "-5"), "argument --seeds: seeds must be a positive integer"),
    (("bids", "--jobs", 10**30),
     f"--jobs must be at most {CAP} (four per processor this process may use)"),
])
def test_command_line_refuses_what_the_core_refuses_with_its_message(tmp_path, args, message):
    command, *rest = args
    where = [str(dataset(tmp_path / "study"))] if command == "bids" else []
    assert failed(run(command, *where, *rest), code=2).endswith(f"orivex: error: {message}\n")


@pytest.mark.parametrize("table", ["files", "arrays"])
def test_a_table_without_volumes_is_an_error_not_a_pass(tmp_path, table):
    bvec, bval = tmp_path / "e.bvec", tmp_path / "e.bval"
    bvec.write_text("\n\n")
    bval.write_text("\n")
    if table == "arrays":
        with pytest.raises(ValueError, match="^bvec: the table holds no volumes$"):
            orivex.inspect(np.zeros((0, 3)), [])
        return
    expected = f"failed to parse {bval}: the table holds no volumes"
    for call in (lambda: _orivex.inspect(str(bvec), str(bval)), lambda: orivex.inspect(bvec, bval)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == expected
    assert failed(run("inspect", "--bvec", bvec, "--bval", bval)) == f"orivex: error: {expected}\n"


def test_mask_that_does_not_fit_the_image_is_noted(small, tmp_path):
    img = nib.load(small["mask"])
    m = np.asanyarray(img.dataobj).astype(np.float32)
    shifted = img.affine.copy()
    shifted[0, 3] += 37
    with_nan = m.copy()
    with_nan[0, 0, :2] = np.nan
    masks = {
        "mask: its voxel-to-world placement differs from the DWI's by up to 37.0 mm at a corner of "
        "the grid; check that it was made for this image": nib.Nifti1Image(m, shifted),
        "mask: a 4-D image of 2 volumes; only the first is used":
            nib.Nifti1Image(np.stack([m, m], -1), img.affine),
        "mask: 2 voxels are NaN and counted inside": nib.Nifti1Image(with_nan, img.affine),
        None: img,
    }
    for note, image in masks.items():
        path = str(tmp_path / "m.nii")
        nib.save(image, path)
        notes = [n for n in orivex.audit(small["dwi"], small["bvec"], small["bval"], mask=path).notes
                 if n.startswith("mask: ")]
        assert notes == ([note] if note else [])
        # _orivex uses such a mask as its own reading defines, and says nothing.
        plain = json.loads(_orivex.audit(small["bvec"], small["bval"], dwi=small["dwi"], mask=path))
        assert not [n for n in plain["notes"] if n.startswith("mask: ")]


def test_file_names_that_are_not_utf8(small, tmp_path):
    name = os.fsdecode(os.fsencode(str(tmp_path)) + b"/t\xff.bval")
    with open(name, "wb") as f:
        f.write(open(small["bval"], "rb").read())
    with pytest.raises(ValueError, match=r"^bval: the file name is not valid UTF-8: '.*t\\udcff\.bval' "
                                         r"\(rename the file\)$"):
        orivex.inspect(small["bvec"], name)
    # The verdict's module takes the name as the file system spells it.
    assert orivex.audit(small["dwi"], small["bvec"], name).inputs[1].path.endswith("t\ufffd.bval")


# ---- .bidsignore --------------------------------------------------------------------------------

@pytest.mark.parametrize("pattern,name,matches", [
    ("sub-0[12]", "sub-02", True), ("sub-0[!12]", "sub-02", False), ("[]]x", "]x", True),
    ("a/**/b", "a/x/y/b", True), ("a/**/b", "a/b", True), ("a/**/b", "a/xb", False),
    ("**/b", "xb", False), ("a?c", "a/c", False), ("a*", "a/b", False), ("a**", "a/b", True),
    (r"\*x", "*x", True), (r"\*x", "ax", False), ("**/tmp_*", "x/y/tmp_a", True),
    ("a*b*[cd]", "aXbYd", True), ("a*b*[cd]", "aXbY/d", False),
    ("*" * 5000 + "x", "a" * 250, False), ("*a" * 200 + "b", "a" * 250, False),
])
def test_bidsignore_globs_match_in_one_pass(pattern, name, matches):
    assert discovery.Glob(pattern).matches(name) is matches


def test_a_bidsignore_of_too_many_patterns_is_refused():
    with pytest.raises(discovery.DiscoveryError, match="^.bidsignore holds more than 10000 patterns$"):
        discovery.BidsIgnore(["x"] * 10_001)


def test_invalid_bidsignore_lines_are_reported_with_their_number_and_skipped(tmp_path):
    root = dataset(tmp_path / "study")
    (root / ".bidsignore").write_text("sub-03/\n[z-a]\n[!]\nx\\\n")
    r = run("bids", *APP, root, tmp_path / "out", "participant")
    assert r.returncode == 0 and "participant level: 2 runs" in r.stdout, r.stderr
    where = f"orivex: warning: {root}/.bidsignore line"
    assert r.stderr.splitlines() == [
        f"{where} 2: invalid pattern '[z-a]' (the range z-a is reversed); the pattern is skipped",
        f"{where} 3: invalid pattern '[!]' (the [ at column 1 is not closed); the pattern is skipped",
        f"{where} 4: invalid pattern 'x\\\\' (it ends in a lone backslash); the pattern is skipped"]


# ---- bounded reads of the dataset -----------------------------------------------------------

def plant(path, kind):
    """Replaces `path` with a file of the hostile `kind` (a FIFO, a link, ...)."""
    if path.exists() or path.is_symlink():
        path.unlink()
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "/dev/zero":
        os.symlink("/dev/zero", path)
    elif kind == "over the cap":
        with open(path, "wb") as f:
            f.truncate(safe_read.SIDECAR_CAP + 1)
    else:  # nested too deeply
        path.write_text("[" * 100_000 + "]" * 100_000)


REASON = {"fifo": "is not a regular file", "/dev/zero": "is not a regular file",
          "over the cap": "is larger than 1 MiB", "deep": "nests more than 64 levels deep"}


@pytest.mark.parametrize("kind", list(REASON))
@pytest.mark.parametrize("name", ["dataset_description.json", ".bidsignore",
                                  "sub-01/dwi/sub-01_dwi.json"])
def test_hostile_dataset_files_are_named_never_waited_on(tmp_path, name, kind):
    root = dataset(tmp_path / "study")
    if name == ".bidsignore" and kind == "deep":
        return  # not JSON
    plant(root / name, kind)
    r = run("bids", *APP, root, tmp_path / "out", "participant")
    if name.endswith("_dwi.json"):  # one run's sidecar: that run is an ERROR, the others go on
        assert r.returncode == 1 and r.stdout.count("ERROR") == 2  # the line and the counts
        assert f"sub-01_dwi.nii.gz: {'cannot read input: ' if kind != 'deep' else ''}" in r.stdout
        assert f"{name} {REASON[kind]}\n" in r.stdout
    else:
        assert failed(r) == f"orivex: error: {root / name} {REASON[kind]}\n"


# ---- the participant and group levels read OUTPUT_DIR safely ---------------------------------

@pytest.fixture
def audited(tmp_path):
    root, out = dataset(tmp_path / "study"), tmp_path / "out"
    assert run("bids", *APP, root, out).returncode == 0
    return root, out, out / "sub-01" / "dwi" / "sub-01_desc-orivex_report.json"


def test_a_fifo_at_a_report_name_is_audited_again(audited):
    root, out, report = audited
    plant(report, "fifo")
    r = run("bids", *APP, root, out, "participant")
    assert r.returncode == 0 and "(2 up to date)" in r.stdout
    assert json.loads(report.read_text())["status"] == "PASS"


@pytest.mark.parametrize("attack,reason", [
    ("fifo", "is not a regular file"),
    ("/dev/zero", "is a symbolic link, which is not followed here"),
    ("forged link", "is a symbolic link, which is not followed here"),
    ("deep", "nests more than 64 levels deep"),
    ("NaN margin", "is not valid JSON: NaN is not a JSON number"),
    ("margin abc", "could not convert string to float: 'abc'"),
    ("status list", "['PASS'] is not a valid Status"),
    ("source list", "its id is not text: ['x']"),
    ("huge margin", "int too large to convert to float"),
])
def test_group_level_lists_a_bad_report_and_goes_on(audited, tmp_path, attack, reason):
    root, out, report = audited
    doc = json.loads(report.read_text())
    if attack == "forged link":
        forged = tmp_path / "forged.json"
        forged.write_text(json.dumps(dict(doc, status="FLAG")))
        report.unlink()
        report.symlink_to(forged)
    elif attack in ("fifo", "/dev/zero", "deep"):
        plant(report, attack)
    else:
        edits = {"NaN margin": None, "margin abc": {"flip": dict(doc["flip"], relative_margin="abc")},
                 "status list": {"status": ["PASS"]},
                 "source list": {"bids": dict(doc["bids"], source=["x"])},
                 "huge margin": {"flip": dict(doc["flip"], relative_margin=10**400)}}[attack]
        text = json.dumps(dict(doc, **(edits or {})))
        report.write_text(text.replace('"relative_margin": ', '"relative_margin": NaN, "x": ', 1)
                          if edits is None else text)
    r = run("bids", *APP, root, out, "group")
    assert r.returncode == 0, r.stderr
    summary = json.loads((out / "dataset_summary.json").read_text())
    assert summary["unreadable_reports"] == [{"report": str(report.relative_to(out)), "error": reason}]
    assert summary["n_runs"] == 2 and (out / "orivex_report.html").exists()


def test_a_failed_write_names_its_file(audited):
    root, out, _ = audited
    summary = out / "dataset_summary.json"
    summary.unlink()
    summary.mkdir()
    assert failed(run("bids", *APP, root, out, "group")) == (
        f"orivex: error: cannot write {summary}: Is a directory\n")


def test_participant_label_with_the_session_prefix_selects_nothing(tmp_path):
    root = dataset(tmp_path / "study")
    assert failed(run("bids", *APP, root, "--participant-label", "ses-01")) == (
        "orivex: error: not a participant label: 'ses-01' (letters and digits, with or without "
        "sub-)\n")


def test_json_is_written_with_null_for_non_finite_numbers():
    assert safe_read.dumps({"m": [float("nan"), float("-inf"), 1.5]}) == '{"m": [null, null, 1.5]}'


# ---- Dask: addresses checked, waits bounded -----------------------------------------------------

@pytest.mark.parametrize("address,message", [
    ("", "--dask-scheduler needs an address, such as tcp://host:8786"),
    ("inproc://x", "--dask-scheduler inproc://x: inproc:// only reaches a scheduler inside this "
                   "same process"),
    ("tcp://host:99999", "--dask-scheduler tcp://host:99999: not a host[:port] address, such as "
                         "tcp://host:8786"),
])
def test_dask_addresses_are_checked(address, message):
    with pytest.raises(ValueError) as info:
        dask_backend.check_address(address)
    assert str(info.value) == message


def test_dask_scheduler_without_workers_is_not_waited_on_forever(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    root = dataset(tmp_path / "study")
    with distributed.LocalCluster(n_workers=0, processes=False, protocol="tcp://",
                                  dashboard_address=None) as cluster:
        r = run("bids", *APP, root, tmp_path / "out", "participant", "--dask-scheduler",
                cluster.scheduler_address, "--dask-timeout", "1")
    assert failed(r) == (f"orivex: error: the Dask scheduler at {cluster.scheduler_address} has no "
                        "workers: none joined within 1 s (--dask-timeout)\n")
