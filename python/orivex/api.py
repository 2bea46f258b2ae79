"""The Python API: checks and repairs of gradient tables, returning report objects.

Every function takes paths as ``str`` or ``os.PathLike``; the table arguments also take arrays.
Failures of the check itself raise the native module's ``ValueError`` with its message.
"""

from __future__ import annotations

import os

import _orivex

from orivex import _native
from orivex._tables import TableFiles, path_text

# typing.TYPE_CHECKING without importing typing, which would be a fifth of the command line's
# start-up; every annotation here is a string (postponed evaluation).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Iterable, Optional, Union

    from orivex.report import BidsResult, RecomputeSummary, Report

    PathLike = Union[str, "os.PathLike[str]"]
    # A table file's path, or its numbers as an array (anything sequence-like, numpy included).
    TableLike = Union[str, "os.PathLike[str]", Iterable[Any]]

__all__ = ["inspect", "audit", "detect_flip", "repair", "recompute_bval", "bids", "version",
           "PARAMETERS"]

PARAMETERS: dict[str, tuple[str, Any, str]] = _native.parameters()
"""Every parameter of the native modules, declared once there: name -> (kind, default, one-line
doc); kinds are "path", "real", "flag", "count" and "threads". The defaults below, the command
line's and the modules' own text signatures all come from it."""


def default(name: str) -> Any:
    """The default of a parameter of the table."""
    return PARAMETERS[name][1]


TOLERANCE = default("tolerance")
B0_THRESHOLD = default("b0_threshold")
MARGIN_THRESHOLD = default("margin_threshold")
NORM_TOLERANCE = default("norm_tolerance")
SEEDS = default("seeds")
VERDICT_MARGIN = default("verdict_margin")


def version() -> str:
    """orivex's version, as its native core reports it."""
    return _orivex.version()


def native_version() -> str:
    """The version of the verdict module the tracking evidence comes from."""
    return _native.version()


EVIDENCE = ("tracking", "coherence")


def _native_entry(name: str, *, evidence: Optional[str] = None, profile: bool = False,
                  qc_data: bool = False) -> tuple[Callable[..., Any], dict[str, bool]]:
    """The native function that serves one API call, and the flags it takes.

    All report-producing calls choose their native entry here and nowhere else: the verdict
    forms of ``orivex._native`` for ``evidence="tracking"`` (with their `profile` and `qc`
    flags), the results of ``_orivex`` unchanged otherwise (coherence evidence, and the checks
    without an image: the variant with per-stage timings and the one with the QC data).
    """
    if evidence == "tracking":
        flags = {"profile": True} if profile else {}
        return getattr(_native, name), {**flags, **({"qc": True} if qc_data else {})}
    suffix = ("_profiled" if profile else "") + ("_with_glyphs" if qc_data else "")
    return getattr(_orivex, name + suffix), {}


def _verdict_options(evidence: str, has_image: bool, seeds: Optional[int], verdict_margin: float,
                     memory_limit: Optional[int]) -> tuple[Optional[str], dict[str, Any]]:
    """The evidence a call runs with and the options only the verdict functions take."""
    if evidence not in EVIDENCE:
        raise ValueError(f"evidence must be 'tracking' or 'coherence', not {evidence!r}")
    if not has_image:
        return None, {}
    if evidence == "coherence":
        if memory_limit is not None:
            raise ValueError("memory_limit needs evidence='tracking'")
        return evidence, {}
    return evidence, {"seeds": seeds, "verdict_margin": verdict_margin, "memory_limit": memory_limit}


# The options whose ranges the core checks (the same checks, and messages, as the command line's).
_CHECKED = ("tolerance", "b0_threshold", "shell", "step", "margin_threshold", "norm_tolerance",
            "threads", "seeds", "verdict_margin", "memory_limit")


def check_options(**options: Any) -> None:
    """Raise the ValueError any call would raise for these options, before it read a file.

    The ranges are the core's, the same at every door (this API, the command line and the BIDS
    App): tolerances and the b0 threshold finite and at least 0, `shell` and `step` finite and
    above 0, the margins in (0, 1], `seeds` and `memory_limit` at least 1, `threads` from 1 to
    four per processor this process may use.
    """
    _native.check_options(**options)


def _check_options(kwargs: dict[str, Any]) -> None:
    check_options(**{k: kwargs[k] for k in _CHECKED if k in kwargs})


def _utf8_paths(paths: dict[str, Any]) -> None:
    """_orivex takes UTF-8 paths only; a file name that is not UTF-8 is refused by name."""
    for name, value in paths.items():
        if isinstance(value, str):
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"{name}: the file name is not valid UTF-8: {value!r} (rename the "
                                 "file)") from None


def _report(name: str, kwargs: dict[str, Any], *, evidence: Optional[str] = None,
            profile: bool = False, qc_data: bool = False) -> Report:
    """Runs one native call with its table arguments as files and reads its report."""
    _check_options(kwargs)
    entry, flags = _native_entry(name, evidence=evidence, profile=profile, qc_data=qc_data)
    with TableFiles(kwargs.pop("bvec"), kwargs.pop("bval"), kwargs.pop("grad")) as table:
        if evidence != "tracking":
            _utf8_paths({**table, **kwargs})
        result = entry(**table, **kwargs, **flags)
    # Imported here: the command line has it imported in the background while the call runs.
    from orivex.report import Report

    if not (profile or qc_data):
        return Report.from_json(result)
    text, *extra = result
    return Report.from_json(text, timings=extra[0] if profile else None,
                            qc_data=extra[-1] if qc_data else None)


def _run_audit(dwi: str, bvec: str, bval: str, *, mask: Optional[str], threads: Optional[int],
               evidence: str, qc_data: bool, **options: Any) -> Report:
    """The BIDS App's audit of one run, for a worker that audits run after run: the report of
    :func:`audit` with the same evidence, from one native call.

    Every run of the calling thread is served from the same pool of `threads` workers, and the
    report text comes in the layout of report files, so writing it takes no second encoding
    (``Report.to_json`` gives it as built). `options` are the analysis options of
    :func:`audit`, and its verdict options under the tracking evidence.
    """
    if evidence not in EVIDENCE:
        raise ValueError(f"evidence must be 'tracking' or 'coherence', not {evidence!r}")
    flags = {"coherence": True} if evidence == "coherence" else {}
    result = _native.audit(dwi=dwi, bvec=bvec, bval=bval, mask=mask, threads=threads, qc=qc_data,
                           pretty=True, keep_pool=True, **flags, **options)
    from orivex.report import Report

    if qc_data:
        return Report.from_json(result[0], qc_data=result[1])
    return Report.from_json(result)


def _paths(**kwargs: Any) -> dict[str, Optional[str]]:
    return {name: path_text(value, name) for name, value in kwargs.items()}


def inspect(
    bvec: Optional[TableLike] = None,
    bval: Optional[TableLike] = None,
    *,
    grad: Optional[TableLike] = None,
    tolerance: float = TOLERANCE,
    b0_threshold: float = B0_THRESHOLD,
    shell: Optional[float] = None,
    strict: bool = False,
    norm_tolerance: float = NORM_TOLERANCE,
    threads: Optional[int] = None,
) -> Report:
    """Check a gradient table on its own: shells, b0 volumes, angular coverage, direction norms.

    Parameters
    ----------
    bvec, bval : path or array_like, optional
        The FSL pair: directions of shape (N, 3) or (3, N) and b-values of shape (N,), as files
        or as arrays (as ``dipy.core.gradients.gradient_table`` takes them).
    grad : path or array_like, optional
        An MRtrix table, rows of x, y, z, b in the scanner (world) frame; shape (N, 4) or
        (4, N). Takes precedence over `bvec` and `bval`.
    tolerance : float, optional
        Relative tolerance that groups b-values into shells.
    b0_threshold : float, optional
        b-values at or below it are b0 volumes.
    shell : float, optional
        Accepted for symmetry with the image checks; it does not change an inspection.
    strict : bool, optional
        Promote severe findings to WARN, and fail on amplitude-encoded directions.
    norm_tolerance : float, optional
        How far from 1 a direction's length may be before it counts as non-unit.
    threads : int, optional
        Worker threads of this call (default: the shared pool over all processors).

    Returns
    -------
    Report
        With `shells`, `angular` and `norm_stats`; `status` is PASS, or WARN on a severe
        finding under `strict`.

    Raises
    ------
    ValueError
        With the module's message: no table ("provide bvec and bval, or grad"), an unreadable
        or malformed file, amplitude-encoded directions under `strict`, ...

    Examples
    --------
    >>> import numpy as np, orivex
    >>> bvals = np.r_[0, np.full(30, 1000.0)]
    >>> bvecs = np.r_[[[0, 0, 0]], np.random.default_rng(0).normal(size=(30, 3))]
    >>> bvecs[1:] /= np.linalg.norm(bvecs[1:], axis=1, keepdims=True)
    >>> report = orivex.inspect(bvecs, bvals)
    >>> [(s.nominal_b, s.count) for s in report.shells.shells]
    [(0.0, 1), (1000.0, 30)]
    """
    return _report("inspect", dict(
        bvec=bvec, bval=bval, grad=grad, tolerance=tolerance, b0_threshold=b0_threshold, shell=shell,
        strict=strict, norm_tolerance=norm_tolerance, threads=threads))


def audit(
    dwi: Optional[PathLike] = None,
    bvec: Optional[TableLike] = None,
    bval: Optional[TableLike] = None,
    *,
    grad: Optional[TableLike] = None,
    mask: Optional[PathLike] = None,
    tolerance: float = TOLERANCE,
    b0_threshold: float = B0_THRESHOLD,
    shell: Optional[float] = None,
    step: Optional[float] = None,
    margin_threshold: float = MARGIN_THRESHOLD,
    strict: bool = False,
    norm_tolerance: float = NORM_TOLERANCE,
    threads: Optional[int] = None,
    evidence: str = "tracking",
    seeds: Optional[int] = SEEDS,
    verdict_margin: float = VERDICT_MARGIN,
    memory_limit: Optional[int] = None,
    profile: bool = False,
    qc_data: bool = False,
) -> Report:
    """Audit a gradient table against its DWI series.

    The checks of :func:`inspect`, plus the drift of the b0 signal and the flip detection: a
    tensor is fitted in every voxel, and each of the 24 distinct signed permutations of the
    gradient axes is scored by the mean length of deterministic tensor tracks through the field
    it implies (the verdict); the coherence of fibre directions between neighbouring voxels is
    shown beside it. Without `dwi` this is :func:`inspect`.

    Parameters
    ----------
    dwi : path, optional
        The DWI series (NIfTI-1, ``.nii`` or ``.nii.gz``).
    bvec, bval, grad : path or array_like, optional
        The table, as for :func:`inspect`.
    mask : path, optional
        Brain mask (NIfTI-1) on the DWI's grid.
    tolerance, b0_threshold, strict, norm_tolerance, threads
        As for :func:`inspect`.
    shell : float, optional
        b-value of the shell used for flip detection (default: chosen automatically).
    step : float, optional
        Sampling step of the coherence score in voxels (default: from the voxel size).
    margin_threshold : float, optional
        Relative margin the best coherence candidate must win by for a PASS or FLAG, in (0, 1].
    evidence : {"tracking", "coherence"}, optional
        ``"tracking"`` (default): the verdict, with the `tracking` and `verdict` sections;
        ``"coherence"``: the coherence result alone, exactly as ``_orivex`` gives it.
    seeds : int, optional
        Tracking seeds.
    verdict_margin : float, optional
        Relative margin the longest mean tracks must win by, in (0, 1].
    memory_limit : int, optional
        Bytes the DWI's float array may take (default: the memory the machine has available);
        a larger image is refused before it is read. Tracking evidence only.
    profile : bool, optional
        Also measure the seconds spent in each stage (`Report.timings`); needs `dwi`.
    qc_data : bool, optional
        Also return the per-voxel data behind the QC figure (`Report.qc_data`); needs `dwi`.

    Returns
    -------
    Report
        `status` is the verdict's decision (the coherence decision with
        ``evidence="coherence"``; FLAG carries `recommended_label` and `recommended_transform`),
        raised to WARN by severe findings under `strict`.

    Raises
    ------
    ValueError
        With the module's message, for example "volume mismatch: 33 gradients but 32 DWI
        volumes".
    TypeError
        `profile` or `qc_data` without `dwi`.

    Examples
    --------
    >>> from pathlib import Path
    >>> data = Path("sub-01/dwi")
    >>> report = orivex.audit(data / "sub-01_dwi.nii.gz", data / "sub-01_dwi.bvec",
    ...                       data / "sub-01_dwi.bval")  # doctest: +SKIP
    >>> report.status, report.recommended_label  # doctest: +SKIP
    (<Status.FLAG: 'FLAG'>, '-x+y+z')
    """
    if (profile or qc_data) and dwi is None:
        raise TypeError("audit(): profile and qc_data need a dwi")
    used, verdict = _verdict_options(evidence, dwi is not None, seeds, verdict_margin, memory_limit)
    return _report("audit", dict(
        bvec=bvec, bval=bval, grad=grad, **_paths(dwi=dwi, mask=mask), tolerance=tolerance,
        b0_threshold=b0_threshold, shell=shell, step=step, margin_threshold=margin_threshold,
        strict=strict, norm_tolerance=norm_tolerance, threads=threads, **verdict),
        evidence=used, profile=profile, qc_data=qc_data)


def detect_flip(
    dwi: PathLike,
    bvec: Optional[TableLike] = None,
    bval: Optional[TableLike] = None,
    *,
    grad: Optional[TableLike] = None,
    mask: Optional[PathLike] = None,
    tolerance: float = TOLERANCE,
    b0_threshold: float = B0_THRESHOLD,
    shell: Optional[float] = None,
    step: Optional[float] = None,
    margin_threshold: float = MARGIN_THRESHOLD,
    threads: Optional[int] = None,
    evidence: str = "tracking",
    seeds: Optional[int] = SEEDS,
    verdict_margin: float = VERDICT_MARGIN,
    memory_limit: Optional[int] = None,
    qc_data: bool = False,
) -> Report:
    """Detect flipped or swapped gradient axes relative to the image, and nothing else.

    Parameters
    ----------
    dwi : path
        The DWI series (NIfTI-1).
    bvec, bval, grad, mask, tolerance, b0_threshold, shell, step, margin_threshold, threads, qc_data
        As for :func:`audit`.
    evidence, seeds, verdict_margin, memory_limit
        As for :func:`audit`.

    Returns
    -------
    Report
        With the `flip` section, and the `tracking` and `verdict` sections under the default
        evidence; `status` is the decision.

    Raises
    ------
    ValueError
        With the module's message, for example "no usable non-b0 shell for flip detection".

    Examples
    --------
    >>> report = orivex.detect_flip("dwi.nii.gz", "dwi.bvec", "dwi.bval")  # doctest: +SKIP
    >>> report.verdict.decision, report.verdict.given_rank  # doctest: +SKIP
    (<Status.FLAG: 'FLAG'>, 7)
    """
    used, verdict = _verdict_options(evidence, True, seeds, verdict_margin, memory_limit)
    return _report("detect_flip", dict(
        bvec=bvec, bval=bval, grad=grad, **_paths(dwi=dwi, mask=mask), tolerance=tolerance,
        b0_threshold=b0_threshold, shell=shell, step=step, margin_threshold=margin_threshold,
        threads=threads, **verdict), evidence=used, qc_data=qc_data)


def repair(
    dwi: PathLike,
    bvec: Optional[TableLike] = None,
    bval: Optional[TableLike] = None,
    *,
    out_bvec: PathLike,
    out_bval: PathLike,
    grad: Optional[TableLike] = None,
    mask: Optional[PathLike] = None,
    out_grad: Optional[PathLike] = None,
    provenance: Optional[PathLike] = None,
    tolerance: float = TOLERANCE,
    b0_threshold: float = B0_THRESHOLD,
    shell: Optional[float] = None,
    step: Optional[float] = None,
    margin_threshold: float = MARGIN_THRESHOLD,
    dry_run: bool = False,
    in_place: bool = False,
    force_repair: bool = False,
    strict: bool = False,
    norm_tolerance: float = NORM_TOLERANCE,
    threads: Optional[int] = None,
    evidence: str = "tracking",
    seeds: Optional[int] = SEEDS,
    verdict_margin: float = VERDICT_MARGIN,
    memory_limit: Optional[int] = None,
    qc_data: bool = False,
    fix_volumes: bool = False,
) -> Report:
    """Audit, then write the corrected table when a correction is recommended.

    Parameters
    ----------
    dwi : path
        The DWI series (NIfTI-1).
    bvec, bval, grad, mask
        As for :func:`audit`.
    out_bvec, out_bval : path
        The corrected FSL pair to write (in the FSL frame, whatever the input's frame).
    out_grad : path, optional
        Also write the corrected table as an MRtrix file (world frame).
    provenance : path, optional
        Write a JSON record of the inputs' SHA-256 digests, the options and the transform.
    dry_run : bool, optional
        Decide and report; write nothing.
    in_place : bool, optional
        Replace existing outputs, moving each first to ``.bak`` (``.bak.1``, ...). Without it
        an existing output is refused.
    force_repair : bool, optional
        Also apply the best candidate when the decision is WARN.
    fix_volumes : bool, optional
        Also mend the rows that a "partial_flip" or "shifted_rows" finding of the volume check
        names (recorded in the notes and the provenance). Without it no single row is changed;
        other findings are only described. Needs evidence="tracking".
    tolerance, b0_threshold, shell, step, margin_threshold, strict, norm_tolerance, threads, qc_data
        As for :func:`audit`.
    evidence, seeds, verdict_margin, memory_limit
        As for :func:`audit`; a FLAG verdict's correction is the one applied.

    Returns
    -------
    Report
        With a `repair` section when a transform was applied (its `outputs` are empty on a dry
        run).

    Raises
    ------
    ValueError
        With the module's message, for example "refusing to overwrite existing file: ...".
        Files written before a failure stay written.

    Examples
    --------
    >>> report = orivex.repair("dwi.nii.gz", "dwi.bvec", "dwi.bval",
    ...                        out_bvec="fixed.bvec", out_bval="fixed.bval")  # doctest: +SKIP
    >>> report.repair.label, report.repair.outputs  # doctest: +SKIP
    ('-x+y+z', ('fixed.bvec', 'fixed.bval'))
    """
    used, verdict = _verdict_options(evidence, True, seeds, verdict_margin, memory_limit)
    if fix_volumes:
        if used != "tracking":
            raise ValueError("fix_volumes needs evidence='tracking'")
        verdict["fix_volumes"] = True
    return _report("repair", dict(
        bvec=bvec, bval=bval, grad=grad,
        **_paths(dwi=dwi, out_bvec=out_bvec, out_bval=out_bval, mask=mask, out_grad=out_grad,
                 provenance=provenance),
        tolerance=tolerance, b0_threshold=b0_threshold, shell=shell, step=step,
        margin_threshold=margin_threshold, dry_run=dry_run, in_place=in_place, strict=strict,
        force_repair=force_repair, norm_tolerance=norm_tolerance, threads=threads, **verdict),
        evidence=used, qc_data=qc_data)


def recompute_bval(
    bvec: Optional[TableLike] = None,
    bval: Optional[TableLike] = None,
    *,
    out_bvec: PathLike,
    out_bval: PathLike,
    grad: Optional[TableLike] = None,
    out_grad: Optional[PathLike] = None,
    provenance: Optional[PathLike] = None,
    b0_threshold: float = B0_THRESHOLD,
    dry_run: bool = False,
    in_place: bool = False,
    threads: Optional[int] = None,
) -> RecomputeSummary:
    """Recover b-values from directions whose lengths carry the gradient amplitude.

    Opt in only: a table of unit directions has nothing to recover. Each non-b0 b-value becomes
    the nominal b times the squared length of its direction, and the directions are written
    normalised.

    Parameters
    ----------
    bvec, bval, grad : path or array_like, optional
        The table, as for :func:`inspect`.
    out_bvec, out_bval : path
        The FSL pair to write.
    out_grad : path, optional
        Also write an MRtrix file.
    provenance : path, optional
        Write a JSON provenance record.
    b0_threshold : float, optional
        b-values at or below it are b0 volumes.
    dry_run, in_place, threads
        As for :func:`repair`.

    Returns
    -------
    RecomputeSummary
        The nominal b, the range of the recovered b-values, the shells before and after, and
        the files written.

    Raises
    ------
    ValueError
        With the module's message, for example "no usable non-b0 shell for flip detection" for
        a table without non-b0 volumes.

    Examples
    --------
    >>> import orivex
    >>> s = orivex.recompute_bval([[0, 0, 0], [0.5, 0, 0], [0, 0, 1]], [0, 1000, 1000],
    ...                           out_bvec="unit.bvec", out_bval="fixed.bval", dry_run=True)
    >>> [(c.nominal_b, c.count) for c in s.after]
    [(0.0, 1), (250.0, 1), (1000.0, 1)]
    """
    _check_options({"b0_threshold": b0_threshold, "threads": threads})
    with TableFiles(bvec, bval, grad) as table:
        paths = {**_paths(out_bvec=out_bvec, out_bval=out_bval), **table,
                 **_paths(out_grad=out_grad, provenance=provenance)}
        _utf8_paths(paths)
        text = _orivex.recompute_bval(**paths, b0_threshold=b0_threshold, dry_run=dry_run,
                                      in_place=in_place, threads=threads)
    from orivex.report import RecomputeSummary

    return RecomputeSummary.from_json(text)


def bids(
    root: PathLike,
    output_dir: Optional[PathLike] = None,
    level: Optional[str] = None,
    *,
    participant_label: Optional[Iterable[str]] = None,
    session_label: Optional[Iterable[str]] = None,
    tolerance: float = TOLERANCE,
    b0_threshold: float = B0_THRESHOLD,
    shell: Optional[float] = None,
    step: Optional[float] = None,
    margin_threshold: float = MARGIN_THRESHOLD,
    strict: bool = False,
    norm_tolerance: float = NORM_TOLERANCE,
    evidence: str = "tracking",
    seeds: Optional[int] = SEEDS,
    verdict_margin: float = VERDICT_MARGIN,
    figures: bool = True,
    jobs: int = 1,
    threads: Optional[int] = None,
    dask_scheduler: Optional[str] = None,
    dask_timeout: float = 60.0,
    force: bool = False,
    fail_on: Optional[str] = None,
    log: Any = None,
    json_lines: bool = False,
) -> BidsResult:
    """Run the BIDS App on a dataset, as ``orivex bids`` does.

    The participant level audits every selected run (``sub-*/[ses-*/]dwi/*_dwi.nii[.gz]`` with
    the tables, sidecars and masks that apply to it by inheritance) and writes its report, QC
    figure and, for a FLAG, the corrected table under `output_dir`; runs whose report is current
    are skipped. The group level pools the runs of each protocol and writes
    ``dataset_summary.json``, ``group_orientation.tsv`` and ``orivex_report.html``.

    Parameters
    ----------
    root : path
        The dataset root (only read).
    output_dir : path, optional
        The derivatives folder (default ``<root>/derivatives/orivex``).
    level : {"participant", "group"}, optional
        The level to run (default: both, one after the other).
    participant_label, session_label : list of str, optional
        The participants and sessions to audit (with or without ``sub-`` / ``ses-``).
    tolerance, b0_threshold, shell, step, margin_threshold, strict, norm_tolerance
        As for :func:`audit`.
    evidence, seeds, verdict_margin
        As for :func:`audit`.
    figures : bool, optional
        Draw each run's QC figure and thumbnail (needs matplotlib; skipped without it).
    jobs : int, optional
        Runs audited at once in worker processes.
    threads : int, optional
        Threads per audit (default: the cores shared out among the jobs).
    dask_scheduler : str, optional
        Address of a dask.distributed scheduler to send the runs to.
    dask_timeout : float, optional
        Seconds to wait for that scheduler to answer, and then for its first worker.
    force : bool, optional
        Audit runs whose report is current too.
    fail_on : {"flag"}, optional
        Give exit code 4 when a run or a protocol FLAGs.
    log : file, optional
        Receives one line per run as it finishes (default: nothing is printed).
    json_lines : bool, optional
        Write those lines as JSON objects.

    Returns
    -------
    BidsResult
        The exit code ``orivex bids`` would give, the output folder, the participant level's
        counts and the dataset summary (`BidsSummary`) of the group level.

    Raises
    ------
    ValueError
        No dataset, no runs to audit, no reports to summarise, or options that exclude each
        other.

    Examples
    --------
    >>> result = orivex.bids("/data/study")  # doctest: +SKIP
    >>> [(p.id, p.decision, p.best_label) for p in result.summary.protocols]  # doctest: +SKIP
    [('P1', 'FLAG', '-x+y+z')]
    """
    import importlib.util

    from orivex.bidsapp import app

    if evidence not in EVIDENCE:
        raise ValueError(f"evidence must be 'tracking' or 'coherence', not {evidence!r}")
    options = {
        "tolerance": tolerance, "b0_threshold": b0_threshold, "shell": shell, "step": step,
        "margin_threshold": margin_threshold, "strict": strict, "norm_tolerance": norm_tolerance,
        "seeds": seeds, "verdict_margin": verdict_margin, "evidence": evidence,
        "qc": bool(figures) and importlib.util.find_spec("matplotlib") is not None,
    }
    return app.run(
        path_text(root, "root"), path_text(output_dir, "output_dir"), level, options=options,
        participant_label=participant_label, session_label=session_label, jobs=jobs,
        threads=threads, dask_scheduler=dask_scheduler, dask_timeout=dask_timeout, force=force,
        fail_on=fail_on, json_lines=json_lines, stdout=log)
