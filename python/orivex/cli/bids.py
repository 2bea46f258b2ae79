"""`orivex bids`: the BIDS App's command line (arguments, messages); `orivex.api.bids` runs it."""

import os
import sys

from orivex.bidsapp import safe_read
from orivex.cli.common import UsageError, add_analysis, add_verdict, command_help, option, seconds

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


def add_parser(sub):
    p = sub.add_parser("bids", help="BIDS App: audit a BIDS dataset (participant and group levels)",
                       **command_help("bids", False, BIDS_EPILOG))
    add_analysis(p)
    add_verdict(p, memory=False)
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
    g.add_argument("--dask-timeout", type=seconds, default=60.0, metavar="SECONDS",
                   help="how long to wait for the scheduler, then for its first worker "
                   "(default 60)")
    g.add_argument("--force", action="store_true", help="audit runs whose report is current too")
    g.add_argument("--no-qc", action="store_true", help="write no QC figures")
    g.add_argument("--json", action="store_true",
                   help="JSON lines per run, then the dataset summary as JSON")
    option(g, "threads", note="per audit (default: cores / jobs)")
    g.add_argument("--fail-on", choices=["flag"], help="exit 4 when a run or protocol FLAGs")


def _n(count, noun):
    return f"{count} {noun}" + ("" if count == 1 else "s")


STATUSES = ("PASS", "WARN", "FLAG", "ERROR")


def _counts_text(counts):
    return ", ".join(f"{counts.get(s, 0)} {s}" for s in STATUSES)


def run(args):
    """Runs the levels asked for through the API; prints; returns the exit code."""
    from orivex import api
    from orivex.bidsapp import app

    try:
        result = api.bids(
            args.bids_dir, args.output_dir, args.analysis_level,
            participant_label=args.participant_label, session_label=args.session_label,
            tolerance=args.tolerance, b0_threshold=args.b0_threshold, shell=args.shell,
            step=args.step, margin_threshold=args.margin_threshold, strict=args.strict,
            norm_tolerance=args.norm_tolerance, evidence=args.evidence, seeds=args.seeds,
            verdict_margin=args.verdict_margin, figures=not args.no_qc, jobs=args.jobs,
            threads=args.threads, dask_scheduler=args.dask_scheduler,
            dask_timeout=args.dask_timeout, force=args.force,
            fail_on=args.fail_on, log=sys.stdout, json_lines=args.json)
    except app.OptionError as e:
        raise UsageError(str(e)) from None
    counts, summary = result.participant, result.summary
    if counts is not None and not args.json:
        print(f"participant level: {_n(sum(counts[s] for s in STATUSES), 'run')}: "
              f"{_counts_text(counts)} ({counts['skipped']} up to date); outputs in "
              f"{result.output_dir}")
    if summary is not None:
        if args.json:
            print(safe_read.dumps(summary.to_dict()))
        else:
            _print_group(summary, result.output_dir)
    return result.exit_code


def _print_group(summary, out_dir):
    from orivex.bidsapp import outputs

    protocols = _n(len(summary.protocols), "protocol")
    print(f"group level: {_n(summary.n_runs, 'run')} in {protocols}: "
          f"{_counts_text(summary.counts)}")
    for p in summary.protocols:
        margin = "-" if p.combined_margin is None else f"{100 * p.combined_margin:.2f}%"
        print(f"  {p.id:<4} {p.decision or 'n/a':<5} {p.best_label or '-':<8} "
              f"pooled {margin:>7}  {_n(p.n_total, 'run')}  {p.key}")
        for o in p.outliers:
            print(f"       disagrees: {o.run} ({o.best_label}, {100 * o.relative_margin:.2f}%)")
    for u in summary.unreadable_reports:
        print(f"  unreadable report {u['report']}: {u['error']}", file=sys.stderr)
    print(f"dataset: {summary.status}; summary at {os.path.join(out_dir, outputs.SUMMARY)}, "
          f"page at {os.path.join(out_dir, outputs.HTML)}")
