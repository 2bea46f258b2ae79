"""The BIDS App's levels, for the command line and the API alike: options in, files written
under OUTPUT_DIR, a BidsResult out."""

import math
import os
import sys

from orivex import api
from orivex.bidsapp import dask_backend, discovery, group, outputs, runner
from orivex.report import BidsResult

LEVELS = ("participant", "group")
CHECKED = ("tolerance", "b0_threshold", "shell", "step", "margin_threshold", "norm_tolerance",
           "seeds", "verdict_margin")


class OptionError(ValueError):
    """Options that do not go together (the command line's usage error)."""


def exit_code(counts, fail_on, flagged_protocols=0):
    if counts.get("ERROR"):
        return 1
    if counts.get("WARN"):
        return 3
    if fail_on == "flag" and (counts.get("FLAG") or flagged_protocols):
        return 4
    return 0


def _severity(code):
    return {0: 0, 4: 1, 3: 2, 1: 3}[code]


def run(bids_dir, output_dir=None, level=None, *, options, participant_label=None,
        session_label=None, jobs=1, threads=None, dask_scheduler=None, force=False,
        fail_on=None, json_lines=False, stdout=None, dask_timeout=None):
    """Runs the levels asked for (both when `level` is None); returns a BidsResult.

    `options` are the per-run options (analysis, verdict, evidence, qc) that a report records.
    The participant level writes one line per run to `stdout` (JSON lines with `json_lines`).
    Raises OptionError for options that exclude each other, ValueError when there is nothing to
    do (no dataset, no runs, no reports).
    """
    if jobs < 1:
        raise OptionError("--jobs must be a positive integer")
    if jobs > 4 * runner.usable_cores():
        raise OptionError(f"--jobs must be at most {4 * runner.usable_cores()} (four per "
                          "processor this process may use)")
    if dask_timeout is not None and not (math.isfinite(dask_timeout) and dask_timeout > 0):
        raise OptionError(f"--dask-timeout must be a number of seconds above 0, not {dask_timeout}")
    if dask_scheduler is not None:
        dask_backend.check_address(dask_scheduler, OptionError)
        if jobs > 1:
            raise OptionError("--jobs and --dask-scheduler exclude each other")
    # The core's range checks, once for the whole batch rather than as an ERROR in every run.
    api.check_options(**{k: options[k] for k in CHECKED if k in options}, threads=threads)
    if level not in (None, *LEVELS):
        raise OptionError(f"the level is participant or group, not {level!r}")
    out_dir = os.fspath(output_dir) if output_dir else os.path.join(bids_dir, "derivatives", "orivex")
    if os.path.exists(out_dir) and os.path.exists(bids_dir) and os.path.samefile(out_dir, bids_dir):
        raise OptionError("OUTPUT_DIR must not be the dataset itself")
    levels = [level] if level else list(LEVELS)
    code, counts, summary = 0, None, None
    if "participant" in levels:
        try:
            dataset = discovery.Dataset(bids_dir)
            runs = dataset.runs(participant_label, session_label)
        except discovery.DiscoveryError as e:
            raise ValueError(str(e)) from None
        for problem in dataset.ignore.problems:
            print(f"orivex: warning: {problem}", file=sys.stderr)
        if not runs:
            raise ValueError("no DWI runs (sub-*/[ses-*/]dwi/*_dwi.nii[.gz]) found under "
                             f"{bids_dir}" + (" for the selected participants or sessions"
                                              if participant_label or session_label else ""))
        try:
            with outputs.OutputDir(out_dir) as out:
                counts = runner.participant(bids_dir, out, runs, options, jobs=jobs,
                                            threads=threads, dask_address=dask_scheduler,
                                            dask_timeout=dask_timeout,
                                            force=force, json_lines=json_lines, stdout=stdout)
        except outputs.OutputError as e:
            raise ValueError(str(e)) from None
        code = exit_code(counts, fail_on)
    if "group" in levels:
        if not os.path.isdir(out_dir):
            raise ValueError(f"no reports: {out_dir} does not exist (run the participant level "
                             "first)")
        try:
            with outputs.OutputDir(out_dir) as out:
                summary = group.group(out, bids_dir)
        except outputs.OutputError as e:
            raise ValueError(str(e)) from None
        if not summary.n_runs:
            raise ValueError(f"no reports under {out_dir} (run the participant level first)")
        flagged = sum(p.decision == "FLAG" for p in summary.protocols)
        code = max(code, exit_code(summary.counts, fail_on, flagged), key=_severity)
    return BidsResult(code, out_dir, counts, summary)
