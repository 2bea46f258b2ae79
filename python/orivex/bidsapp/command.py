"""`orivex bids`: the BIDS Apps command line (arguments, levels, messages, exit codes)."""

import importlib.util
import os
import sys

from orivex.bidsapp import safe_read

BIDS_EPILOG = """\
levels:
  participant  audit each selected run; reports, QC figures and corrected tables of FLAG runs go
               to OUTPUT_DIR/sub-*/[ses-*/]dwi/ (any scheduler: one task per participant label)
  group        read every report under OUTPUT_DIR: dataset_summary.json, group_orientation.tsv,
               orivex_report.html and the verdict of each acquisition protocol
  (none)       both, one after the other; OUTPUT_DIR defaults to BIDS_DIR/derivatives/orivex

Re-running skips runs whose report is current (same input digests, options and tool version);
--force audits them again. Exit code 1 when any run could not be audited (its report says why).
"""


def add_arguments(p):
    """The bids subcommand's own arguments (the analysis options come from the caller)."""
    p.add_argument("bids_dir", metavar="BIDS_DIR", help="BIDS dataset root (only read)")
    p.add_argument("output_dir", metavar="OUTPUT_DIR", nargs="?",
                   help="derivatives folder to write (default BIDS_DIR/derivatives/orivex)")
    p.add_argument("analysis_level", metavar="{participant,group}", nargs="?",
                   choices=("participant", "group"), help="level to run (default: both)")
    g = p.add_argument_group("BIDS App")
    g.add_argument("--participant-label", nargs="+", metavar="L",
                   help="participants to audit (with or without sub-)")
    g.add_argument("--session-label", nargs="+", metavar="S",
                   help="sessions to audit (with or without ses-)")
    g.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="runs audited at once in worker processes (default 1)")
    g.add_argument("--dask-scheduler", metavar="ADDRESS",
                   help="send the runs to a dask.distributed scheduler (needs orivex[dask])")
    g.add_argument("--dask-timeout", type=_seconds, default=60.0, metavar="SECONDS",
                   help="how long to wait for the scheduler, then for its first worker (default 60)")
    g.add_argument("--force", action="store_true", help="audit runs whose report is current too")
    g.add_argument("--no-qc", action="store_true", help="write no QC figures")
    if "--evidence" not in p._option_string_actions:
        g.add_argument("--evidence", choices=("tracking", "coherence"),
                       help="per-run evidence (default: tracking where built, else coherence)")
    g.add_argument("--json", action="store_true",
                   help="JSON lines per run, then the dataset summary as JSON")
    g.add_argument("--threads", type=int, help="threads per audit (default: cores / jobs)")
    g.add_argument("--fail-on", choices=["flag"], help="exit 4 when a run or protocol FLAGs")


def _seconds(text):
    import argparse
    import math

    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a number of seconds above 0, not {text}")
    return value


def _options(args):
    from orivex.bidsapp import task

    return {
        "tolerance": args.tolerance, "b0_threshold": args.b0_threshold, "shell": args.shell,
        "step": args.step, "margin_threshold": args.margin_threshold, "strict": args.strict,
        "norm_tolerance": args.norm_tolerance,
        "evidence": task.resolve_evidence(getattr(args, "evidence", None) or "auto"),
        "qc": not args.no_qc and importlib.util.find_spec("matplotlib") is not None,
    }


def exit_code(counts, fail_on, flagged_protocols=0):
    if counts.get("ERROR"):
        return 1
    if counts.get("WARN"):
        return 3
    if fail_on == "flag" and (counts.get("FLAG") or flagged_protocols):
        return 4
    return 0


def _n(count, noun):
    return f"{count} {noun}" + ("" if count == 1 else "s")


def _counts_text(counts):
    return ", ".join(f"{counts.get(s, 0)} {s}" for s in ("PASS", "WARN", "FLAG", "ERROR"))


def run(args, usage_error):
    """Runs the levels asked for; returns the exit code."""
    from orivex.bidsapp import discovery, group, outputs, runner

    if args.jobs < 1:
        raise usage_error("--jobs must be a positive integer")
    if args.jobs > 4 * runner.usable_cores():
        raise usage_error(f"--jobs must be at most {4 * runner.usable_cores()} (four per "
                          "processor this process may use)")
    if args.dask_scheduler is not None:
        from orivex.bidsapp import dask_backend

        dask_backend.check_address(args.dask_scheduler, usage_error)
    # The core's range checks, once for the whole batch rather than as an ERROR in every run.
    from orivex import api

    api._check_options({k: getattr(args, k) for k in (
        "tolerance", "b0_threshold", "shell", "step", "margin_threshold", "norm_tolerance",
        "threads")})
    if args.dask_scheduler is not None and args.jobs > 1:
        raise usage_error("--jobs and --dask-scheduler exclude each other")
    out_dir = args.output_dir or os.path.join(args.bids_dir, "derivatives", "orivex")
    if os.path.exists(out_dir) and os.path.exists(args.bids_dir) and os.path.samefile(
            out_dir, args.bids_dir):
        raise usage_error("OUTPUT_DIR must not be the dataset itself")
    levels = [args.analysis_level] if args.analysis_level else ["participant", "group"]
    quiet = args.json
    code = 0
    if "participant" in levels:
        options = _options(args)
        try:
            dataset = discovery.Dataset(args.bids_dir)
            runs = dataset.runs(args.participant_label, args.session_label)
        except discovery.DiscoveryError as e:
            raise ValueError(str(e)) from None
        for problem in dataset.ignore.problems:
            print(f"orivex: warning: {problem}", file=sys.stderr)
        if not runs:
            raise ValueError("no DWI runs (sub-*/[ses-*/]dwi/*_dwi.nii[.gz]) found under "
                             f"{args.bids_dir}" + (" for the selected participants or sessions"
                                                   if args.participant_label or args.session_label
                                                   else ""))
        try:
            with outputs.OutputDir(out_dir) as out:
                counts = runner.participant(args.bids_dir, out, runs, options, jobs=args.jobs,
                                            threads=args.threads, dask_address=args.dask_scheduler,
                                            dask_timeout=args.dask_timeout,
                                            force=args.force, json_lines=args.json)
        except outputs.OutputError as e:
            raise ValueError(str(e)) from None
        if not quiet:
            print(f"participant level: {_n(len(runs), 'run')}: {_counts_text(counts)}"
                  f" ({counts['skipped']} up to date); outputs in {out_dir}")
        code = exit_code(counts, args.fail_on)
    if "group" in levels:
        if not os.path.isdir(out_dir):
            raise ValueError(f"no reports: {out_dir} does not exist (run the participant level "
                             "first)")
        try:
            with outputs.OutputDir(out_dir) as out:
                out.write(outputs.DESCRIPTION, outputs.dataset_description(
                    args.bids_dir, _version()))
                summary = group.group(out, args.bids_dir)
        except outputs.OutputError as e:
            raise ValueError(str(e)) from None
        if not summary["n_runs"]:
            raise ValueError(f"no reports under {out_dir} (run the participant level first)")
        if quiet:
            print(safe_read.dumps(summary))
        else:
            _print_group(summary, out_dir)
        flagged = sum(p["decision"] == "FLAG" for p in summary["protocols"])
        code = max(code, exit_code(summary["counts"], args.fail_on, flagged), key=_severity)
    return code


def _severity(code):
    return {0: 0, 4: 1, 3: 2, 1: 3}[code]


def _version():
    import _orivex

    return _orivex.version()


def _print_group(summary, out_dir):
    from orivex.bidsapp import outputs

    protocols = _n(len(summary["protocols"]), "protocol")
    print(f"group level: {_n(summary['n_runs'], 'run')} in {protocols}: "
          f"{_counts_text(summary['counts'])}")
    for p in summary["protocols"]:
        margin = "-" if p["combined_margin"] is None else f"{100 * p['combined_margin']:.2f}%"
        print(f"  {p['id']:<4} {p['decision'] or 'n/a':<5} {p['best_label'] or '-':<8} "
              f"pooled {margin:>7}  {_n(p['n_total'], 'run')}  {p['key']}")
        for o in p["outliers"]:
            print(f"       disagrees: {o['run']} ({o['best_label']}, "
                  f"{100 * o['relative_margin']:.2f}%)")
    for u in summary["unreadable_reports"]:
        print(f"  unreadable report {u['report']}: {u['error']}", file=sys.stderr)
    print(f"dataset: {summary['status']}; summary at {os.path.join(out_dir, outputs.SUMMARY)}, "
          f"page at {os.path.join(out_dir, outputs.HTML)}")
