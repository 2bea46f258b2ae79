"""The BIDS App's levels, for the command line and the API alike: options in, files written
under OUTPUT_DIR, a BidsResult out."""

import os

from orivex.bidsapp import discovery, group, outputs, runner
from orivex.report import BidsResult

LEVELS = ("participant", "group")


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
        fail_on=None, json_lines=False, stdout=None):
    """Runs the levels asked for (both when `level` is None); returns a BidsResult.

    `options` are the per-run options (analysis, verdict, evidence, qc) that a report records.
    The participant level writes one line per run to `stdout` (JSON lines with `json_lines`).
    Raises OptionError for options that exclude each other, ValueError when there is nothing to
    do (no dataset, no runs, no reports).
    """
    if jobs < 1:
        raise OptionError("--jobs must be a positive integer")
    if dask_scheduler and jobs > 1:
        raise OptionError("--jobs and --dask-scheduler exclude each other")
    if level not in (None, *LEVELS):
        raise OptionError(f"the level is participant or group, not {level!r}")
    out_dir = os.fspath(output_dir) if output_dir else os.path.join(bids_dir, "derivatives", "orivex")
    if os.path.exists(out_dir) and os.path.exists(bids_dir) and os.path.samefile(out_dir, bids_dir):
        raise OptionError("OUTPUT_DIR must not be the dataset itself")
    levels = [level] if level else list(LEVELS)
    code, counts, summary = 0, None, None
    if "participant" in levels:
        try:
            runs = discovery.Dataset(bids_dir).runs(participant_label, session_label)
        except discovery.DiscoveryError as e:
            raise ValueError(str(e)) from None
        if not runs:
            raise ValueError("no DWI runs (sub-*/[ses-*/]dwi/*_dwi.nii[.gz]) found under "
                             f"{bids_dir}" + (" for the selected participants or sessions"
                                              if participant_label or session_label else ""))
        try:
            with outputs.OutputDir(out_dir) as out:
                counts = runner.participant(bids_dir, out, runs, options, jobs=jobs,
                                            threads=threads, dask_address=dask_scheduler,
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
