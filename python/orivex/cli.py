"""The orivex command line: argument parsing, calls into the orivex API, readable summaries, exit codes."""

import argparse
import math
import os
import re
import shlex
import stat
import sys
import threading
import time

import _orivex

from orivex import api, outputs, summary
from orivex.defaults import SEEDS, VERDICT_MARGIN

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_WARN = 3
EXIT_FLAG = 4

EXIT_CODES_HELP = """\
exit codes:
  0  PASS or FLAG (the table was checked; a FLAG carries its recommended fix)
  1  the check could not be run (bad input, unreadable file, refused overwrite, ...)
  2  usage error (bad or missing options)
  3  WARN (ambiguous or questionable scheme; look before you trust it)
  4  FLAG with --fail-on flag (for pipelines that must stop on a wrong table)
"""


EXAMPLES = {
    "inspect": """\
  orivex inspect --bvec dwi.bvec --bval dwi.bval
  orivex inspect --grad dwi.b --json > table.json""",
    "audit": """\
  orivex audit --dwi dwi.nii.gz --bvec dwi.bvec --bval dwi.bval
  orivex audit --dwi dwi.nii.gz --mask brain_mask.nii.gz --qc qc.png -o report.json
  orivex audit --dwi dwi.nii.gz                 # the .bvec/.bval beside the image
  orivex audit --bvec dwi.bvec --bval dwi.bval  # the table on its own, as inspect""",
    "detect-flip": """\
  orivex detect-flip --dwi dwi.nii.gz --bvec dwi.bvec --bval dwi.bval
  orivex detect-flip --dwi dwi.nii.gz --grad dwi.b --evidence coherence --json
  orivex detect-flip --dwi big_dwi.nii.gz --memory-limit 8G -q --fail-on flag""",
    "repair": """\
  orivex repair --dwi dwi.nii.gz --bvec dwi.bvec --bval dwi.bval \\
      --out-bvec fixed.bvec --out-bval fixed.bval --provenance fixed.json
  orivex repair --dwi dwi.nii.gz --bvec dwi.bvec --bval dwi.bval \\
      --out-bvec dwi.bvec --out-bval dwi.bval --force      # in place, originals kept as .bak
  orivex repair --dwi dwi.nii.gz --out-bvec f.bvec --out-bval f.bval --dry-run""",
    "recompute-bval": """\
  orivex recompute-bval --bvec amp.bvec --bval amp.bval --out-bvec unit.bvec --out-bval fixed.bval
  orivex recompute-bval --grad amp.b --out-bvec unit.bvec --out-bval fixed.bval --dry-run""",
    "bids": """\
  orivex bids /data/study                       # both levels, reports in derivatives/orivex
  orivex bids /data/study /scratch/out participant --participant-label 01 02
  orivex bids /data/study /scratch/out group""",
    "demo": """\
  orivex demo""",
}

TERMS_HELP = """\
terms of the summary:
  cond         condition number of the tensor design matrix of a shell (lower is better; about
               1.6 for well spread directions)
  energy       electrostatic energy of a shell's directions (lower is more uniform)
  DTI, CSD     enough directions for a tensor / a CSD fit: ok, min(imum only), no
  coherence    how well fibre directions continue from voxel to neighbouring voxel (higher is
               better)
  mean length  mean length of the fibre tracks under a candidate (longer is better)
  -x+y+z       a candidate: the signed source axis of each output axis ("-x+y+z" negates x,
               "+y+x+z" swaps x and y); a table and its negation are one candidate, so 24 are
               shown
"""


def _epilog(command, *parts):
    return "\n".join(["examples:\n" + EXAMPLES[command] + "\n", *parts])


class UsageError(Exception):
    pass


class InputError(Exception):
    """An input file that cannot be read; the text names the option and the path."""


def _number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text}")
    return value


def at_least_zero(text):
    value = _number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {text}")
    return value


def above_zero(text):
    value = _number(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be greater than 0, not {text}")
    return value


def fraction(text):
    value = _number(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be greater than 0 and at most 1, not {text}")
    return value


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text}")
    return value


_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def memory_size(text):
    """A size in bytes: a number with an optional K, M, G or T (powers of 1024), e.g. 8G, 500M."""
    m = re.fullmatch(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([KMGT]?)(?:i?B)?\s*", text, re.IGNORECASE)
    if m is None:
        raise argparse.ArgumentTypeError(f"invalid size: {text!r} (give bytes or a number with K, M, G or T, "
                                         "e.g. 8G or 500M)")
    value = float(m.group(1)) * _UNITS[m.group(2).upper()]
    if not 1 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte and less than 16 EiB, not {text}")
    return int(value)


class Parser(argparse.ArgumentParser):
    """argparse with the tool's own error line and exit code."""

    def error(self, message):
        self.print_usage(sys.stderr)
        sys.stderr.write(f"orivex: error: {message}\n")
        sys.exit(EXIT_USAGE)


def _add_table(p, dwi=None):
    g = p.add_argument_group("gradient table (FSL pair or MRtrix file)")
    g.add_argument("--bvec", help="FSL bvec file")
    g.add_argument("--bval", help="FSL bval file")
    g.add_argument("--grad", help="MRtrix grad file (takes precedence over --bvec/--bval)")
    if dwi is not None:
        p.add_argument("--dwi", required=dwi == "required",
                       help="DWI NIfTI (.nii/.nii.gz); without a table its sibling .bvec/.bval are used")
        p.add_argument("--mask", help="brain or white-matter mask NIfTI")


def _add_analysis(p, flip=True, strict=True):
    g = p.add_argument_group("analysis options")
    g.add_argument("--tolerance", type=at_least_zero, default=0.05, help="relative shell tolerance (default 0.05)")
    g.add_argument("--b0-threshold", type=at_least_zero, default=50.0, help="b-values at or below are b0 (default 50)")
    g.add_argument("--shell", type=above_zero, help="b-value of the shell used for flip detection")
    if flip:
        g.add_argument("--step", type=above_zero, help="coherence sampling step in voxels (default from voxel size)")
        g.add_argument("--margin-threshold", type=fraction, default=0.02,
                       help="relative margin a correction must win by to FLAG (default 0.02)")
    if strict:
        g.add_argument("--strict", action="store_true", help="promote severe findings to WARN; fail on amplitude-encoded bvecs")
        g.add_argument("--norm-tolerance", type=at_least_zero, default=0.05, help="direction-norm tolerance (default 0.05)")


def _add_verdict(p):
    g = p.add_argument_group("verdict (tracking decides, coherence is shown beside it)")
    g.add_argument("--evidence", choices=["tracking", "coherence"], default="tracking",
                   help="tracking: the verdict of fibre tracking under each candidate (default); "
                   "coherence: the neighbourhood-coherence result alone")
    g.add_argument("--seeds", type=positive_int, default=SEEDS, help=f"tracking seeds of the first pass (default {SEEDS}; an unclear one tracks up to 4x as many)")
    g.add_argument("--verdict-margin", type=fraction, default=VERDICT_MARGIN,
                   help=f"relative margin the longest tracks must win by (default {VERDICT_MARGIN:g})")
    g.add_argument("--memory-limit", type=memory_size, metavar="SIZE",
                   help="memory the DWI's float array may take, e.g. 8G or 500M; a larger image is "
                   "refused before it is read (default: the memory available now)")


def _add_output(p, fail_on=True, force=True):
    g = p.add_argument_group("output")
    g.add_argument("--json", action="store_true", help="print the module's JSON unchanged")
    g.add_argument("-o", "--output", metavar="FILE", help="save the pretty-printed report")
    if force:
        g.add_argument("--force", action="store_true", help="replace existing outputs (originals kept as .bak)")
    g.add_argument("--threads", type=int, help="worker threads (default: all processors)")
    _add_verbosity(g)
    if fail_on:
        g.add_argument("--fail-on", choices=["flag"], help="exit 4 on FLAG")


def _add_verbosity(g):
    g = g.add_mutually_exclusive_group()
    g.add_argument("-q", "--quiet", action="store_true", help="print only the status line (errors still go to stderr)")
    g.add_argument("-v", "--verbose", action="store_true",
                   help="also print the full candidate tables and the timings")


def build_parser(only=None):
    """The parser of every command, or with `only` (a command's name) of that command alone: a
    run of one command need not build the other commands' options."""
    p = Parser(
        prog="orivex",
        description="Check and repair diffusion-MRI gradient tables: shells, b0, angular coverage, "
        "amplitude-encoded bvecs, and axis flips or swaps relative to the image.",
        epilog=EXIT_CODES_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--version", action="version", version=f"orivex {_orivex.version()}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    sub.required = True

    def kw(command, terms=True):
        return dict(epilog=_epilog(command, *([TERMS_HELP] if terms else []), EXIT_CODES_HELP),
                    formatter_class=argparse.RawDescriptionHelpFormatter)

    if only in (None, "inspect"):
        s = sub.add_parser("inspect", help="analyse a gradient table on its own", **kw("inspect"))
        _add_table(s)
        _add_analysis(s, flip=False)
        _add_output(s)

    if only in (None, "audit"):
        s = sub.add_parser("audit", help="audit a table against its DWI (flip detection, b0 drift)", **kw("audit"))
        _add_table(s, dwi="optional")
        _add_analysis(s)
        _add_verdict(s)
        _add_output(s)
        s.add_argument("--profile", action="store_true", help="print per-stage timings")
        s.add_argument("--qc", metavar="FILE.png", help="write a visual QC figure (needs orivex[plot])")

    if only in (None, "detect-flip"):
        s = sub.add_parser("detect-flip", help="flip detection only", **kw("detect-flip"))
        _add_table(s, dwi="required")
        _add_analysis(s, strict=False)
        _add_verdict(s)
        _add_output(s)
        s.add_argument("--qc", metavar="FILE.png", help="write a visual QC figure (needs orivex[plot])")

    if only in (None, "repair"):
        s = sub.add_parser("repair", help="audit, then write a corrected table", **kw("repair"))
        _add_table(s, dwi="required")
        _add_analysis(s)
        _add_verdict(s)
        _add_output(s, force=False)
        g = s.add_argument_group("repair outputs")
        g.add_argument("--out-bvec", required=True, help="corrected FSL bvec to write")
        g.add_argument("--out-bval", required=True, help="corrected FSL bval to write")
        g.add_argument("--out-grad", help="corrected MRtrix table to write as well")
        g.add_argument("--provenance", help="provenance record (JSON) to write")
        g.add_argument("--dry-run", action="store_true", help="decide and report, write nothing")
        g.add_argument("--force", action="store_true", help="replace existing outputs (originals kept as .bak)")
        g.add_argument("--force-repair", action="store_true", help="also apply the best candidate on a WARN decision")
        s.add_argument("--qc", metavar="FILE.png", help="write a visual QC figure (needs orivex[plot])")

    if only in (None, "recompute-bval"):
        s = sub.add_parser("recompute-bval", help="recover b-values from amplitude-encoded bvecs",
                           **kw("recompute-bval", terms=False))
        _add_table(s)
        g = s.add_argument_group("outputs")
        g.add_argument("--out-bvec", required=True, help="FSL bvec to write")
        g.add_argument("--out-bval", required=True, help="FSL bval to write")
        g.add_argument("--out-grad", help="MRtrix table to write as well")
        g.add_argument("--provenance", help="provenance record (JSON) to write")
        g.add_argument("--b0-threshold", type=at_least_zero, default=50.0, help="b-values at or below are b0 (default 50)")
        g.add_argument("--dry-run", action="store_true", help="compute and report, write nothing")
        g.add_argument("--force", action="store_true", help="replace existing outputs (originals kept as .bak)")
        g.add_argument("--json", action="store_true", help="print the module's JSON unchanged")
        g.add_argument("--threads", type=int, help="worker threads")
        _add_verbosity(g)

    if only in (None, "bids"):
        from orivex.bidsapp import command as bids_command

        s = sub.add_parser("bids", help="BIDS App: audit a BIDS dataset (participant and group levels)",
                           epilog=_epilog("bids", bids_command.BIDS_EPILOG, EXIT_CODES_HELP),
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        _add_analysis(s)
        bids_command.add_arguments(s)

    if only in (None, "demo"):
        sub.add_parser("demo", help="run orivex on the real scan shipped with it, x-flipped", **kw("demo", terms=False))

    return p


NIFTI_SUFFIXES = (".nii.gz", ".nii")


def sibling_table(dwi):
    """The .bvec/.bval (or .bvecs/.bvals) beside a DWI image, or None."""
    base = dwi
    for suffix in NIFTI_SUFFIXES:
        if base.endswith(suffix):
            base = base[: -len(suffix)]
            break
    for vec, val in ((".bvec", ".bval"), (".bvecs", ".bvals")):
        if os.path.isfile(base + vec) and os.path.isfile(base + val):
            return base + vec, base + val
    return None


def check_readable(option, path):
    """Names the option and the file when an input cannot be read, before the core tries."""
    try:
        st = os.stat(path)
    except OSError as e:
        raise InputError(f"{option} {path}: {e.strerror}") from None
    except ValueError:
        raise InputError(f"{option} {path!r}: file name contains a NUL byte") from None
    if stat.S_ISDIR(st.st_mode):
        raise InputError(f"{option} {path}: Is a directory")
    if not os.access(path, os.R_OK):
        raise InputError(f"{option} {path}: Permission denied")


def input_files(args, kw):
    """(option, path) of every file the command reads, in the order the core reads them."""
    files = []
    if kw.get("grad"):
        files.append(("--grad", kw["grad"]))
    elif kw.get("bvec") and kw.get("bval"):
        files += [("--bval", kw["bval"]), ("--bvec", kw["bvec"])]
    for option in ("dwi", "mask"):
        if getattr(args, option, None):
            files.append(("--" + option, getattr(args, option)))
    return files


def prepare_run(args, kw):
    """Checks every input and output before the core runs, so a bad path costs no audit."""
    inputs = input_files(args, kw)
    for option, path in inputs:
        check_readable(option, path)
    images = [(o, p) for o, p in inputs if o in ("--dwi", "--mask")]
    force = getattr(args, "force", False)
    # The core decides about its own outputs once it knows whether it writes them (existing
    # files, backups); here every output is only compared with the inputs and the others. The
    # command line's own files are refused up front, before a repair writes anything.
    planned = [("--out-bvec", "out_bvec", images), ("--out-bval", "out_bval", images),
               ("--out-grad", "out_grad", images), ("--provenance", "provenance", inputs),
               ("-o", "output", inputs), ("--qc", "qc", inputs)]
    taken = []
    for option, attr, protected in planned:
        path = getattr(args, attr, None)
        if not path:
            continue
        ours = attr in ("output", "qc")
        outputs.check(option, path, force=force, inputs=protected, taken=taken, must_not_exist=ours,
                      written=ours or not getattr(args, "dry_run", False))
        taken.append((option, path))


def table_kwargs(args):
    kw = {"bvec": args.bvec, "bval": args.bval, "grad": args.grad}
    dwi = getattr(args, "dwi", None)
    if dwi and not (args.bvec or args.bval or args.grad):
        check_readable("--dwi", dwi)
        found = sibling_table(dwi)
        if found is None:
            raise UsageError(f"no table given and no sibling .bvec/.bval found beside {dwi}")
        kw["bvec"], kw["bval"] = found
        if not getattr(args, "quiet", False):
            print(f"orivex: using the table beside the image: {found[0]}, {found[1]}", file=sys.stderr)
    return kw


def analysis_kwargs(args, flip=True, strict=True):
    kw = {"tolerance": args.tolerance, "b0_threshold": args.b0_threshold, "shell": args.shell}
    if flip:
        kw["step"] = args.step
        kw["margin_threshold"] = args.margin_threshold
    if strict:
        kw["strict"] = args.strict
        kw["norm_tolerance"] = args.norm_tolerance
    kw["threads"] = args.threads
    return kw


def verdict_kwargs(args):
    if args.evidence == "coherence" and args.memory_limit is not None:
        raise UsageError("--memory-limit needs --evidence tracking")
    return {"evidence": args.evidence, "seeds": args.seeds, "verdict_margin": args.verdict_margin,
            "memory_limit": args.memory_limit}


def status_exit(status, fail_on):
    if status == "WARN":
        return EXIT_WARN
    if status == "FLAG" and fail_on == "flag":
        return EXIT_FLAG
    return EXIT_OK


def emit_report(args, report, title, seconds=None):
    """Saves (-o) and prints one report: its JSON, or its summary as loud as asked."""
    if getattr(args, "output", None):
        outputs.write("-o", args.output, (report.to_json(pretty=True) + "\n").encode("utf-8"),
                      force=getattr(args, "force", False))
    if args.json:
        print(report.to_json())
        return
    d = report.to_dict()
    if args.quiet:
        print(summary.status_line(d, title))
        return
    print(summary.render_report(d, title, threshold=getattr(args, "margin_threshold", 0.02),
                                verbose=args.verbose))
    if report.timings is not None:
        print(summary.render_timings(report.timings))
    elif args.verbose and seconds is not None:
        print(f"time: {seconds:.3f} s")
    if getattr(args, "output", None):
        print(f"report saved to {args.output}")


def _qc(args, report):
    if not getattr(args, "qc", None):
        return
    from orivex import qc

    outputs.write("--qc", args.qc, qc.figure_png(report.to_dict(), report.qc_data),
                  force=getattr(args, "force", False))
    if not (args.json or args.quiet):
        print(f"QC figure written to {args.qc}")


def _timed(function, **kw):
    start = time.perf_counter()
    report = function(**kw)
    return report, time.perf_counter() - start


def cmd_inspect(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    report, seconds = _timed(api.inspect, **table, **analysis_kwargs(args, flip=False))
    emit_report(args, report, "inspect", seconds)
    return status_exit(report.status, args.fail_on)


def cmd_audit(args):
    if (args.profile or args.qc) and not args.dwi:
        raise UsageError("--profile and --qc need --dwi")
    table = table_kwargs(args)
    prepare_run(args, table)
    profile = bool(args.dwi) and (args.profile or args.verbose)
    report, seconds = _timed(api.audit, **table, dwi=args.dwi, mask=args.mask, **analysis_kwargs(args),
                             **verdict_kwargs(args), profile=profile, qc_data=bool(args.qc))
    emit_report(args, report, "audit", seconds)
    _qc(args, report)
    return status_exit(report.status, args.fail_on)


def cmd_detect(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    report, seconds = _timed(api.detect_flip, **table, dwi=args.dwi, mask=args.mask,
                             **analysis_kwargs(args, strict=False), **verdict_kwargs(args),
                             qc_data=bool(args.qc))
    emit_report(args, report, "detect-flip", seconds)
    _qc(args, report)
    return status_exit(report.status, args.fail_on)


def cmd_repair(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    report, seconds = _timed(
        api.repair, **table, dwi=args.dwi, out_bvec=args.out_bvec, out_bval=args.out_bval,
        mask=args.mask, out_grad=args.out_grad, provenance=args.provenance, dry_run=args.dry_run,
        in_place=args.force, force_repair=args.force_repair, **analysis_kwargs(args),
        **verdict_kwargs(args), qc_data=bool(args.qc))
    emit_report(args, report, "repair", seconds)
    if not (args.json or args.quiet):
        d = report.to_dict()
        print(summary.render_repair(d, dry_run=args.dry_run, provenance=args.provenance))
        if report.repair is None and report.verdict is not None:
            hint = summary.render_warn_hint(d, force_command(args))
            if hint:
                print(hint)
    _qc(args, report)
    return status_exit(report.status, args.fail_on)


def force_command(args):
    """The command line that would apply a WARN verdict's best candidate."""
    argv = list(args.argv)
    if "--force-repair" not in argv:
        argv.append("--force-repair")
    return shlex.join(["orivex", *argv])


def cmd_recompute(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    result = api.recompute_bval(
        **table, out_bvec=args.out_bvec, out_bval=args.out_bval, out_grad=args.out_grad,
        provenance=args.provenance, b0_threshold=args.b0_threshold, dry_run=args.dry_run,
        in_place=args.force, threads=args.threads)
    if args.json:
        print(result.to_json())
    elif args.quiet:
        print(summary.render_recompute(result.to_dict(), dry_run=args.dry_run).splitlines()[0])
    else:
        print(summary.render_recompute(result.to_dict(), dry_run=args.dry_run))
    return EXIT_OK


def cmd_bids(args):
    from orivex.bidsapp import command as bids_command

    return bids_command.run(args, UsageError)


def cmd_demo(args):
    from orivex import demo

    return demo.run()


COMMANDS = {
    "inspect": cmd_inspect,
    "audit": cmd_audit,
    "detect-flip": cmd_detect,
    "repair": cmd_repair,
    "recompute-bval": cmd_recompute,
    "bids": cmd_bids,
    "demo": cmd_demo,
}


def _import_report_types():
    try:
        import orivex.report  # noqa: F401
    except Exception:  # the command itself imports it again and reports any failure
        pass


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser(only=argv[0] if argv and argv[0] in COMMANDS else None)
    args = parser.parse_args(argv)
    args.argv = argv
    if args.command != "bids":
        # The command ends in a Report, whose types take a while to import: a thread does that
        # while the native call runs without the interpreter. Not for `bids`, which starts a
        # process pool and wants no other thread alive when it does.
        threading.Thread(target=_import_report_types, name="orivex-import").start()
    threads = getattr(args, "threads", None)
    if threads is not None and threads < 1:
        parser.error("--threads must be a positive integer")
    try:
        code = COMMANDS[args.command](args)
        sys.stdout.flush()  # a closed pipe fails here, inside the handlers, not at exit
        return code
    except BrokenPipeError:
        # The reader went away (orivex ... | head): nothing more to say, and nowhere to say it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except UsageError as e:
        parser.print_usage(sys.stderr)
        sys.stderr.write(f"orivex: error: {e}\n")
        return EXIT_USAGE
    except KeyboardInterrupt:
        sys.stderr.write("orivex: interrupted\n")
        return 130
    except SystemExit:
        raise
    except BaseException as e:  # every failure, the core's internal ones too, ends in one line
        sys.stderr.write(f"orivex: error: {describe(e)}\n")
        return EXIT_FAILURE


def describe(e):
    """The one-line text of a failure: the message itself for expected ones."""
    text = str(e)
    if isinstance(e, MemoryError):
        return "out of memory" + (f" ({text})" if text else "")
    if isinstance(e, (ValueError, OSError, TypeError, ImportError, InputError, outputs.OutputError)):
        return text or type(e).__name__
    return f"internal error ({type(e).__name__}){': ' + text if text else ''}"
