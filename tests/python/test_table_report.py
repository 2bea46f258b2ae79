"""inspect: table loading precedence, input records and the report."""

import json

import numpy as np
import pytest

import _orivex
from conftest import loads_ordered, sha256, without_timestamp, write_fsl


def test_fsl_inputs_in_order_with_digests(table_files):
    report = json.loads(_orivex.inspect(bvec=table_files["bvec"], bval=table_files["bval"]))
    assert report["inputs"] == [
        {"path": table_files["bvec"], "sha256": sha256(table_files["bvec"]),
         "bytes": len(open(table_files["bvec"], "rb").read())},
        {"path": table_files["bval"], "sha256": sha256(table_files["bval"]),
         "bytes": len(open(table_files["bval"], "rb").read())},
    ]
    assert [k for k, _ in loads_ordered(json.dumps(report["inputs"][0]))] == [
        "path", "sha256", "bytes"]


def test_relative_paths_are_kept_as_written(table_files, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    report = json.loads(_orivex.inspect(bvec="t.bvec", bval="t.bval"))
    assert [i["path"] for i in report["inputs"]] == ["t.bvec", "t.bval"]


def test_grad_wins_and_fsl_paths_are_never_touched(table_files, tmp_path):
    missing = str(tmp_path / "missing")
    report = json.loads(_orivex.inspect(bvec=missing, bval=missing, grad=table_files["grad"]))
    assert report["inputs"] == [
        {"path": table_files["grad"], "sha256": sha256(table_files["grad"]),
         "bytes": len(open(table_files["grad"], "rb").read())}
    ]


def test_same_table_from_both_forms_has_the_same_scheme(table_files):
    a = json.loads(_orivex.inspect(bvec=table_files["bvec"], bval=table_files["bval"]))
    b = json.loads(_orivex.inspect(grad=table_files["grad"]))
    assert a["scheme"] == b["scheme"]
    assert a["shells"] == b["shells"]


@pytest.mark.parametrize("kwargs", [{}, {"bvec": "x.bvec"}, {"bval": "x.bval"}])
def test_no_table(kwargs, table_files):
    if "bvec" in kwargs:
        kwargs = {"bvec": table_files["bvec"]}  # the file exists and is still not read
    with pytest.raises(ValueError) as info:
        _orivex.inspect(**kwargs)
    assert info.value.args == ("provide bvec and bval, or grad",)


def test_missing_files_report_the_bval_first(tmp_path):
    with pytest.raises(ValueError) as info:
        _orivex.inspect(bvec=str(tmp_path / "a"), bval=str(tmp_path / "b"))
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    assert str(tmp_path) not in str(info.value)


def test_empty_path_is_a_given_path():
    with pytest.raises(ValueError, match=r"^I/O error: .* \(os error 2\)$"):
        _orivex.inspect(grad="")


def test_bad_bval_beats_bad_bvec(tmp_path):
    (tmp_path / "x.bval").write_text("0 abc\n")
    (tmp_path / "x.bvec").write_text("zzz\n")
    with pytest.raises(ValueError) as info:
        _orivex.inspect(bvec=str(tmp_path / "x.bvec"), bval=str(tmp_path / "x.bval"))
    assert str(info.value) == f'failed to parse {tmp_path / "x.bval"}: invalid number: "abc"'


def test_bad_bval_beats_missing_bvec(tmp_path):
    (tmp_path / "x.bval").write_text("0 1e\n")
    with pytest.raises(ValueError, match=r"^failed to parse .*x\.bval: invalid number"):
        _orivex.inspect(bvec=str(tmp_path / "nope"), bval=str(tmp_path / "x.bval"))


def test_bvec_shape_error(tmp_path):
    (tmp_path / "x.bval").write_text("0 1000 1000\n")
    (tmp_path / "x.bvec").write_text("1 0\n0 1\n")
    with pytest.raises(ValueError) as info:
        _orivex.inspect(bvec=str(tmp_path / "x.bvec"), bval=str(tmp_path / "x.bval"))
    assert str(info.value) == (
        f"failed to parse {tmp_path / 'x.bvec'}: bvec shape does not match the b-value count")


def test_grad_with_three_numbers(tmp_path):
    (tmp_path / "x.b").write_text("# comment\n1 0 0\n")
    with pytest.raises(ValueError) as info:
        _orivex.inspect(grad=str(tmp_path / "x.b"))
    assert str(info.value) == f"failed to parse {tmp_path / 'x.b'}: expected 4 values per row, found 3"


def test_invalid_utf8_table_is_an_io_error(tmp_path):
    (tmp_path / "x.b").write_bytes(b"1 0 0 1000\n\xff\xfe\n")
    with pytest.raises(ValueError, match="^I/O error: "):
        _orivex.inspect(grad=str(tmp_path / "x.b"))


def test_shell_has_no_effect_and_reports_differ_only_in_timestamp(table_files):
    args = dict(bvec=table_files["bvec"], bval=table_files["bval"])
    base = without_timestamp(_orivex.inspect(**args))
    assert without_timestamp(_orivex.inspect(**args, shell=2000.0)) == base
    assert without_timestamp(_orivex.inspect(**args, threads=1)) == base
    assert without_timestamp(_orivex.inspect(**args, threads=3)) == base


def test_report_is_compact_json_with_fixed_leading_keys(table_files):
    text = _orivex.inspect(grad=table_files["grad"])
    assert ": " not in text and ", " not in text.split('"notes"')[0]
    keys = [k for k, _ in loads_ordered(text)]
    assert keys[:6] == ["schema_version", "tool", "tool_version", "timestamp", "status", "inputs"]
    report = json.loads(text)
    assert report["tool"] == "orivex" and report["tool_version"] == "1.1.6"
    assert "flip" not in report


def test_amplitude_encoded_directions(tmp_path):
    rng = np.random.default_rng(1)
    dirs = rng.normal(size=(30, 3))
    dirs /= np.linalg.norm(dirs, axis=1, keepdims=True)
    scale = np.sqrt(np.linspace(0.2, 1.0, 30))[:, None]
    bvecs = np.vstack([np.zeros((1, 3)), dirs * scale])
    bvals = np.concatenate([[0.0], np.full(30, 3000.0)])
    write_fsl(tmp_path / "a.bvec", tmp_path / "a.bval", bvecs, bvals)
    args = dict(bvec=str(tmp_path / "a.bvec"), bval=str(tmp_path / "a.bval"))
    assert json.loads(_orivex.inspect(**args))["status"] == "WARN"
    with pytest.raises(ValueError, match=r"^amplitude-encoded bvecs \(--strict\): "):
        _orivex.inspect(**args, strict=True)


def test_fsl_pair_longer_than_any_nifti_series_is_refused_like_a_grad_file(tmp_path):
    # 32,773 volumes: more than the 16-bit volume count of a NIfTI-1 header allows.
    n = 32773
    bval, bvec, grad = tmp_path / "t.bval", tmp_path / "t.bvec", tmp_path / "t.b"
    bval.write_text("1000 " * n + "\n")
    bvec.write_text(("1 " * n + "\n") + ("0 " * n + "\n") * 2)
    grad.write_text("1 0 0 1000\n" * n)
    limit = "32773 volumes, more than the 32767 a NIfTI-1 series can hold"
    with pytest.raises(ValueError) as fsl:
        _orivex.inspect(bvec=str(bvec), bval=str(bval))
    assert str(fsl.value) == f"failed to parse {bval}: {limit}"
    with pytest.raises(ValueError) as mrtrix:
        _orivex.inspect(grad=str(grad))
    assert str(mrtrix.value) == f"failed to parse {grad}: {limit}"
