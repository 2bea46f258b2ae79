"""Faults during repair: failing writes, unwritable and misplaced outputs, undecodable paths and
inputs that change while they are read. Each ends with its error, nothing claims success, and
the user's original tables stay recoverable."""

import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import _orivex
from conftest import make_phantom, sha256


@pytest.fixture
def flipped(tmp_path):
    return make_phantom(tmp_path / "in", shape=(6, 6, 6), n_dirs=15, n_b0=2, flip_axis=0)


def originals(p):
    return {k: sha256(p[k]) for k in ("bvec", "bval", "grad")}


def fsl(p, **kw):
    return dict(bvec=p["bvec"], bval=p["bval"], **kw)


def run_python(code, timeout=120):
    """Runs code in a fresh interpreter that imports the same _orivex as this one."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def test_dev_full_as_output_is_refused_and_nothing_is_written(flipped, tmp_path):
    out_bval = tmp_path / "o.bval"
    with pytest.raises(ValueError) as info:
        _orivex.repair(flipped["dwi"], "/dev/full", str(out_bval), **fsl(flipped))
    assert str(info.value) == (
        "refusing to overwrite existing file: /dev/full (pass --force to allow)")
    assert not out_bval.exists()


@pytest.mark.parametrize("function", ["repair", "recompute_bval"])
def test_provenance_on_a_full_device_fails_the_call(flipped, tmp_path, function):
    before = originals(flipped)
    out = [str(tmp_path / "o.bvec"), str(tmp_path / "o.bval")]
    with pytest.raises(ValueError) as info:
        if function == "repair":
            _orivex.repair(flipped["dwi"], *out, **fsl(flipped), provenance="/dev/full")
        else:
            _orivex.recompute_bval(*out, **fsl(flipped), provenance="/dev/full")
    # An existing provenance target is refused like any other output.
    assert str(info.value) == "refusing to overwrite existing file: /dev/full (pass --force to allow)"
    with pytest.raises(ValueError) as info:
        if function == "repair":
            _orivex.repair(flipped["dwi"], *out, **fsl(flipped), provenance="/dev/full",
                           in_place=True)
        else:
            _orivex.recompute_bval(*out, **fsl(flipped), provenance="/dev/full", in_place=True)
    assert str(info.value) == "I/O error: No space left on device (os error 28)"
    # The record comes last; its failure takes back the tables it would have described.
    assert sorted(os.listdir(tmp_path)) == ["in"]
    assert originals(flipped) == before


def test_failing_write_of_an_in_place_repair_puts_the_originals_back(flipped):
    # A file-size limit makes every write past 64 bytes fail with EFBIG, as a full disk would,
    # without touching the machine's devices; it runs in a child so the limit stays there.
    before = originals(flipped)
    result = run_python(f"""
        import json, resource, signal, _orivex
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
        try:
            _orivex.repair({flipped['dwi']!r}, {flipped['bvec']!r}, {flipped['bval']!r},
                           bvec={flipped['bvec']!r}, bval={flipped['bval']!r}, in_place=True)
        except ValueError as e:
            print(json.dumps(["error", str(e)]))
        else:
            print(json.dumps(["success", ""]))
    """)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == ["error", "I/O error: File too large (os error 27)"]
    # Both originals were moved aside before the first write, and put back after it failed.
    assert originals(flipped) == before
    assert not os.path.exists(flipped["bvec"] + ".bak")
    assert not os.path.exists(flipped["bval"] + ".bak")


def test_missing_output_directory_fails_before_anything_is_written(flipped, tmp_path):
    out = [str(tmp_path / "no" / "such" / "o.bvec"), str(tmp_path / "o.bval")]
    with pytest.raises(ValueError) as info:
        _orivex.repair(flipped["dwi"], *out, **fsl(flipped))
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    assert not (tmp_path / "o.bval").exists()


def test_read_only_directory(flipped, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    try:
        if os.access(locked, os.W_OK):
            pytest.skip("this user can write into read-only directories (root)")
        with pytest.raises(ValueError) as info:
            _orivex.repair(flipped["dwi"], str(locked / "o.bvec"), str(locked / "o.bval"),
                           **fsl(flipped))
        assert str(info.value) == "I/O error: Permission denied (os error 13)"
        assert list(locked.iterdir()) == []
    finally:
        locked.chmod(0o755)


def test_read_only_directory_with_in_place_keeps_the_original(flipped, tmp_path):
    # In place, the backup is a rename inside the directory: refused before any write.
    locked = tmp_path / "locked"
    locked.mkdir()
    (locked / "o.bvec").write_text("old\n")
    locked.chmod(0o555)
    try:
        if os.access(locked, os.W_OK):
            pytest.skip("this user can write into read-only directories (root)")
        with pytest.raises(ValueError) as info:
            _orivex.repair(flipped["dwi"], str(locked / "o.bvec"), str(locked / "o.bval"),
                           **fsl(flipped), in_place=True)
        assert str(info.value) == "I/O error: Permission denied (os error 13)"
        assert (locked / "o.bvec").read_text() == "old\n"
    finally:
        locked.chmod(0o755)


def test_output_that_is_a_directory_is_refused(flipped, tmp_path):
    target = tmp_path / "o.bvec"
    target.mkdir()
    (target / "keep").write_text("x")
    with pytest.raises(ValueError) as info:
        _orivex.repair(flipped["dwi"], str(target), str(tmp_path / "o.bval"), **fsl(flipped))
    assert str(info.value) == (
        f"refusing to overwrite existing file: {target} (pass --force to allow)")
    assert (target / "keep").read_text() == "x"
    assert not (tmp_path / "o.bval").exists()


def test_output_directory_in_place_is_kept_whole(flipped, tmp_path):
    # Either moved aside whole as the backup, or refused; never emptied or written into.
    target = tmp_path / "o.bvec"
    target.mkdir()
    (target / "keep").write_text("x")
    try:
        report = json.loads(_orivex.repair(flipped["dwi"], str(target), str(tmp_path / "o.bval"),
                                           **fsl(flipped), in_place=True))
    except ValueError as exc:
        assert str(exc) == "I/O error: Is a directory (os error 21)"
        assert (target / "keep").read_text() == "x"
        assert not (tmp_path / "o.bval").exists()
    else:
        assert report["repair"]["outputs"] == [str(target), str(tmp_path / "o.bval")]
        assert (tmp_path / "o.bvec.bak" / "keep").read_text() == "x"
        assert target.is_file()


def test_grad_output_that_is_a_directory_fails_after_the_fsl_pair(flipped, tmp_path):
    (tmp_path / "o.b").mkdir()
    out = [str(tmp_path / "o.bvec"), str(tmp_path / "o.bval")]
    with pytest.raises(ValueError, match="^refusing to overwrite existing file: "):
        _orivex.repair(flipped["dwi"], *out, **fsl(flipped), out_grad=str(tmp_path / "o.b"))
    assert (tmp_path / "o.b").is_dir() and list((tmp_path / "o.b").iterdir()) == []


def test_provenance_that_is_a_directory_fails_the_call(flipped, tmp_path):
    (tmp_path / "p.json").mkdir()
    out = [str(tmp_path / "o.bvec"), str(tmp_path / "o.bval")]
    with pytest.raises(ValueError) as info:
        _orivex.repair(flipped["dwi"], *out, **fsl(flipped), provenance=str(tmp_path / "p.json"),
                       in_place=True)
    assert str(info.value) == "I/O error: Is a directory (os error 21)"
    assert sorted(os.listdir(tmp_path)) == ["in", "p.json"]


@pytest.mark.parametrize("which", ["dwi", "out_bvec", "out_bval", "bvec", "provenance"])
def test_undecodable_path_is_refused_before_any_file_is_touched(flipped, tmp_path, which):
    # A file name with a byte that is not UTF-8, as os.fsdecode gives it to Python code.
    bad = os.fsdecode(os.fsencode(str(tmp_path)) + b"/caf\xe9")
    assert "\udce9" in bad
    args = dict(dwi=flipped["dwi"], out_bvec=str(tmp_path / "o.bvec"),
                out_bval=str(tmp_path / "o.bval"), **fsl(flipped))
    args[which] = bad
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(UnicodeEncodeError):
        _orivex.repair(**args)
    assert sorted(os.listdir(tmp_path)) == before


def test_non_ascii_utf8_paths_round_trip(flipped, tmp_path):
    out = [str(tmp_path / "café.bvec"), str(tmp_path / "café.bval")]
    report = json.loads(_orivex.repair(flipped["dwi"], *out, **fsl(flipped)))
    assert report["repair"]["outputs"] == out
    assert os.path.exists(out[0]) and os.path.exists(out[1])


def test_path_with_a_nul_byte_is_an_io_error_not_a_shorter_path(flipped, tmp_path):
    out = [str(tmp_path / "o.bvec") + "\0tail", str(tmp_path / "o.bval")]
    with pytest.raises(ValueError, match="^I/O error: file name contained an unexpected NUL byte$"):
        _orivex.repair(flipped["dwi"], *out, **fsl(flipped))
    assert sorted(os.listdir(tmp_path)) == ["in"]


def test_missing_dwi_after_the_table_leaves_everything_untouched(flipped, tmp_path):
    before = originals(flipped)
    os.remove(flipped["dwi"])
    with pytest.raises(ValueError, match="^NIfTI error: "):
        _orivex.repair(flipped["dwi"], flipped["bvec"], flipped["bval"], **fsl(flipped),
                       in_place=True)
    assert originals(flipped) == before
    assert not os.path.exists(flipped["bvec"] + ".bak")


def test_input_that_changes_between_reads_is_hashed_as_parsed(flipped, tmp_path):
    # A FIFO gives different content on every open: the first opener gets the table, a second
    # one would get nothing. The record must describe the bytes that were parsed, or the call
    # must fail; a record of other bytes would be a false success.
    fifo = tmp_path / "t.b"
    os.mkfifo(fifo)
    content = open(flipped["grad"], "rb").read()
    writer = subprocess.Popen(
        [sys.executable, "-c",
         "import sys; open(sys.argv[1], 'wb').write(open(sys.argv[2], 'rb').read()); "
         "open(sys.argv[1], 'wb').close()", str(fifo), flipped["grad"]])
    try:
        result = run_python(f"""
            import _orivex
            print(_orivex.detect_flip({flipped['dwi']!r}, grad={str(fifo)!r}))
        """, timeout=60)
    finally:
        writer.kill()
        writer.wait()
    if result.returncode == 0:
        record = json.loads(result.stdout)["inputs"][0]
        assert record["bytes"] == len(content)
        assert record["sha256"] == sha256(flipped["grad"])
    else:
        assert "ValueError" in result.stderr


def test_input_deleted_before_the_call_names_no_path(flipped, tmp_path):
    os.remove(flipped["bval"])
    with pytest.raises(ValueError) as info:
        _orivex.repair(flipped["dwi"], str(tmp_path / "o.bvec"), str(tmp_path / "o.bval"),
                       **fsl(flipped))
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    assert sorted(os.listdir(tmp_path)) == ["in"]
