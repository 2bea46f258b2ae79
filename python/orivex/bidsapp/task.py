"""One run's work, wherever it runs (this process, a worker process, a Dask worker).

`process` reads the run's inputs, audits it and returns every output as bytes; it writes
nothing, so a cluster worker needs to read the dataset but never the output folder, and the
client that writes stays the only writer. Nothing here depends on where or when it runs, apart
from the report's timestamp.
"""

import datetime
import hashlib
import io
import os
import stat

from orivex import api
from orivex.bidsapp import evidence, nifti, outputs, safe_read
from orivex.report import InputFile, RunError, RunRecord, Status

PROTOCOL_FIELDS = ("Manufacturer", "ManufacturersModelName", "SoftwareVersions",
                   "PhaseEncodingDirection")
THUMB_WIDTH = 240
ANALYSIS_KEYS = ("tolerance", "b0_threshold", "shell", "step", "margin_threshold", "strict",
                 "norm_tolerance")
VERDICT_KEYS = ("seeds", "verdict_margin")
OPTION_KEYS = ANALYSIS_KEYS + VERDICT_KEYS + ("evidence", "qc")


def generated_by(kind):
    """The tool identity a report records; a report from another one is out of date."""
    out = {"name": "orivex", "version": api.version(), "evidence": kind}
    if kind == "tracking":
        out["native_version"] = api.native_version()
    return out


def audit_run(run, mask, options, threads=None):
    """Audits one run through the API; returns its Report (with the QC data when asked for).

    The tracking verdict answers under options["evidence"] "tracking" (its report carries
    `tracking` and `verdict` sections); under "coherence" the flip ranking is the evidence.
    """
    kw = {k: options[k] for k in ANALYSIS_KEYS}
    if options["evidence"] == "tracking":
        kw.update({k: options[k] for k in VERDICT_KEYS})
    return api._run_audit(run.dwi, run.bvec, run.bval, mask=mask, threads=threads,
                          evidence=options["evidence"], qc_data=options["qc"], **kw)


def digest(path, root, cap=None):
    """The input record of one file; a file that is not a regular one (a FIFO, which is opened
    without waiting for a writer, or a device) or is over `cap` bytes raises ValueError."""
    h = hashlib.sha256()
    size = 0
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as e:
        raise ValueError(f"{_rel(path, root)} cannot be read: {e.strerror or e}") from None
    with open(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ValueError(f"{_rel(path, root)} is not a regular file")
        if cap is not None and st.st_size > cap:
            raise ValueError(f"{_rel(path, root)} is larger than {cap >> 20} MiB")
        os.set_blocking(fd, True)
        while chunk := f.read(1 << 20):
            h.update(chunk)
            size += len(chunk)
    return InputFile(_rel(path, root), h.hexdigest(), size)


def _rel(path, root):
    return os.path.relpath(path, root).replace(os.sep, "/")


def now_rfc3339():
    t = datetime.datetime.now(datetime.timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S") + (f".{t.microsecond:06d}".rstrip("0") if t.microsecond
                                              else "") + "Z"


def merged_sidecar(paths, root):
    """The run's metadata: applicable sidecars from the root down, nearer keys winning.

    A sidecar that cannot be read (not a regular file, over 1 MiB, not a JSON object, nested
    too deeply) raises ValueError naming it: the run's metadata would be silently incomplete.
    """
    merged = {}
    for path in paths:
        try:
            merged.update(safe_read.read_json_object(path, safe_read.SIDECAR_CAP))
        except (OSError, ValueError) as e:
            raise ValueError(f"BIDS sidecar {_rel(path, root)} {e}") from None
    return merged


def sidecar_note(meta):
    """"BIDS sidecar: PE=j-, TRT=0.0500s, MB=3" for the fields present, or None."""
    parts = []
    pe, trt, mb = (meta.get(k) for k in ("PhaseEncodingDirection", "TotalReadoutTime",
                                         "MultibandAccelerationFactor"))
    if isinstance(pe, str):
        parts.append(f"PE={pe}")
    if isinstance(trt, (int, float)) and not isinstance(trt, bool):
        parts.append(f"TRT={trt:.4f}s")
    if isinstance(mb, int) and not isinstance(mb, bool) and mb >= 0:
        parts.append(f"MB={mb}")
    return "BIDS sidecar: " + ", ".join(parts) if parts else None


def shell_signature(report):
    """The non-b0 shells as "1000x30+2000x60", b rounded to 50 s/mm² (what a protocol sets)."""
    shells = report.shells.shells if report.shells is not None else ()
    parts = [f"{round(s.nominal_b / 50) * 50:g}x{s.count}" for s in shells if not s.is_b0]
    return "+".join(parts) or None


def protocol(meta, orientation, shells):
    """The acquisition a run shares with others of its protocol, and its key."""
    out = {k: meta.get(k) if isinstance(meta.get(k), (str, int, float)) else None
           for k in PROTOCOL_FIELDS}
    out["orientation"] = orientation
    out["shells"] = shells
    out["key"] = ";".join("n/a" if v is None else str(v) for v in out.values())
    return out


def _six(v):
    return "0.000000" if v == 0.0 else "%.6f" % v


def _plain(b):
    text = repr(float(b))
    if "e" in text or "E" in text:
        from decimal import Decimal

        text = format(Decimal(text), "f")
    return text[:-2] if text.endswith(".0") else text


def corrected_table(report):
    """(bvec text, bval text) with a FLAG's correction applied, or None.

    The correction acts on the table in its own frame, which for a BIDS FSL pair is the frame
    it is written in, so the corrected pair is M·g for every direction and the same b-values.
    """
    m = report.recommended_transform
    if report.status != Status.FLAG or m is None:
        return None
    dirs = [[sum(m[i][k] * g[k] for k in range(3)) for i in range(3)]
            for g in report.scheme.directions]
    bvec = "".join(" ".join(_six(d[axis] + 0.0) for d in dirs) + "\n" for axis in range(3))
    bval = " ".join(_plain(b) for b in report.scheme.bvals) + "\n"
    return bvec, bval


def qc_images(report):
    """(figure PNG, thumbnail PNG) bytes, or None without matplotlib or QC data to draw.

    The thumbnail is small and palette-coded (a few kB) because the group page embeds one per
    run; Pillow comes with matplotlib.
    """
    if report.qc_data is None:
        return None
    try:
        from PIL import Image

        from orivex import qc
    except ImportError:
        return None
    full = io.BytesIO(qc.figure_png(report))
    with Image.open(full) as im:
        small = im.convert("RGB")
        small.thumbnail((THUMB_WIDTH, THUMB_WIDTH))
        thumb = io.BytesIO()
        small.quantize(colors=64).save(thumb, "PNG", optimize=True)
    return full.getvalue(), thumb.getvalue()


def _record(run, root, options, inputs, meta_protocol, mask, names, written, notes=()):
    return RunRecord(
        source=run.rel, entities=tuple(run.entities), inputs=tuple(inputs),
        mask=_rel(mask, root) if mask else None,
        options={k: options[k] for k in OPTION_KEYS}, generated_by=generated_by(options["evidence"]),
        protocol={k: v for k, v in meta_protocol.items() if k != "key"},
        protocol_key=meta_protocol["key"], outputs=tuple(names[k] for k in written),
        notes=tuple(notes))


def _matching_mask(run):
    """The image's header orientation and the first of the run's masks on its grid."""
    try:
        header = nifti.read_header(run.dwi)
    except (OSError, ValueError, EOFError):
        return None, None
    for candidate in run.masks:
        try:
            if nifti.read_header(candidate).grid == header.grid:
                return header, candidate
        except (OSError, ValueError, EOFError):
            continue
    return header, None


def process(run, root, options, recorded=None, threads=None):
    """Audits `run`; returns a result dict: rel, skipped, summary (a RunSummary), files
    {kind: bytes}.

    `recorded` is the input list of a previous report that is otherwise current: when the inputs
    still hash the same, the run is skipped. Failures become an ERROR report, never an exception.
    """
    names = outputs.run_files(run.folder, run.base)
    inputs = []
    try:
        if run.problem is None:
            capped = {p: safe_read.SIDECAR_CAP for p in run.sidecars}
            paths = (run.dwi, run.bvec, run.bval) + tuple(run.sidecars) + tuple(run.masks)
            inputs = [digest(p, root, capped.get(p)) for p in paths]
            if recorded is not None and tuple(recorded) == tuple(inputs):
                return {"rel": run.rel, "skipped": True, "files": {}, "summary": None}
    except (OSError, ValueError) as e:
        return _error(run, root, options, inputs, names, f"cannot read input: {e}")
    if run.problem is not None:
        return _error(run, root, options, inputs, names, run.problem)

    try:
        meta, notes = merged_sidecar(run.sidecars, root), []
    except ValueError as e:
        return _error(run, root, options, inputs, names, str(e))
    header, mask = _matching_mask(run)
    orientation = header.axis_codes() if header else None
    try:
        report = audit_run(run, mask, options, threads)
    except (ValueError, OSError) as e:
        return _error(run, root, options, inputs, names, str(e), protocol(meta, orientation, None))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # a fault of ours (the core's panic too), not of the data
        return _error(run, root, options, inputs, names, f"{type(e).__name__}: {e}",
                      protocol(meta, orientation, None))
    note = sidecar_note(meta)
    notes += [note] if note else []

    files, written = {}, []
    fixed = corrected_table(report)
    if fixed is not None:
        files["bvec"], files["bval"] = (t.encode() for t in fixed)
        written += ["bvec", "bval"]
    try:
        images = qc_images(report) if options["qc"] else None
    except Exception as e:  # the figure is a view of the report, never a reason to lose it
        images = None
        notes.append(f"QC figure not drawn: {type(e).__name__}: {e}")
    if images is not None:
        files["qc"], files["thumb"] = images
        written += ["qc", "thumb"]
    proto = protocol(meta, orientation, shell_signature(report))
    record = _record(run, root, options, inputs, proto, mask, names, written, notes)
    # The module's report stays token for token as it came; what the BIDS App adds is `bids`.
    text = report.to_json(pretty=True, extra={"bids": record.to_dict()})
    files["report"] = (text + "\n").encode("utf-8")
    return {"rel": run.rel, "skipped": False, "files": files, "summary": evidence.summary(report)}


def _error(run, root, options, inputs, names, message, proto=None):
    record = _record(run, root, options, inputs, proto or protocol({}, None, None), None, names, [])
    doc = RunError.create(api.version(), now_rfc3339(), message, record)
    files = {"report": (doc.to_json() + "\n").encode("utf-8")}
    return {"rel": run.rel, "skipped": False, "files": files,
            "summary": evidence.error_summary(message)}
