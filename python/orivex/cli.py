"""The orivex command line: argument parsing, calls into _orivex, readable summaries, exit codes."""

import argparse
import json
import math
import os
import shlex
import stat
import sys

import _orivex

from orivex import _native, outputs, summary
from orivex.pretty import pretty_json

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
    g.add_argument("--seeds", type=positive_int, default=2000, help="tracking seeds (default 2000)")
    g.add_argument("--verdict-margin", type=fraction, default=0.05,
                   help="relative margin the longest tracks must win by (default 0.05)")


def _add_output(p, fail_on=True, force=True):
    g = p.add_argument_group("output")
    g.add_argument("--json", action="store_true", help="print the module's JSON unchanged")
    g.add_argument("-o", "--output", metavar="FILE", help="save the pretty-printed report")
    if force:
        g.add_argument("--force", action="store_true", help="replace existing outputs (originals kept as .bak)")
    g.add_argument("--threads", type=int, help="worker threads (default: all processors)")
    if fail_on:
        g.add_argument("--fail-on", choices=["flag"], help="exit 4 on FLAG")


def build_parser():
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
    kw = dict(epilog=EXIT_CODES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)

    s = sub.add_parser("inspect", help="analyse a gradient table on its own", **kw)
    _add_table(s)
    _add_analysis(s, flip=False)
    _add_output(s)

    s = sub.add_parser("audit", help="audit a table against its DWI (flip detection, b0 drift)", **kw)
    _add_table(s, dwi="optional")
    _add_analysis(s)
    _add_verdict(s)
    _add_output(s)
    s.add_argument("--profile", action="store_true", help="print per-stage timings")
    s.add_argument("--qc", metavar="FILE.png", help="write a visual QC figure (needs orivex[plot])")

    s = sub.add_parser("detect-flip", help="flip detection only", **kw)
    _add_table(s, dwi="required")
    _add_analysis(s, strict=False)
    _add_verdict(s)
    _add_output(s)
    s.add_argument("--qc", metavar="FILE.png", help="write a visual QC figure (needs orivex[plot])")

    s = sub.add_parser("repair", help="audit, then write a corrected table", **kw)
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

    s = sub.add_parser("recompute-bval", help="recover b-values from amplitude-encoded bvecs", **kw)
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

    from orivex.bidsapp import command as bids_command

    s = sub.add_parser("bids", help="BIDS App: audit a BIDS dataset (participant and group levels)",
                       epilog=bids_command.BIDS_EPILOG + "\n" + EXIT_CODES_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_analysis(s)
    bids_command.add_arguments(s)

    sub.add_parser("demo", help="run orivex on the bundled example phantom", **kw)
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
    if args.seeds < 0:
        raise UsageError("--seeds must not be negative")
    return {"seeds": args.seeds, "verdict_margin": args.verdict_margin}


def by_tracking(args):
    return getattr(args, "evidence", "coherence") == "tracking"


def status_exit(status, fail_on):
    if status == "WARN":
        return EXIT_WARN
    if status == "FLAG" and fail_on == "flag":
        return EXIT_FLAG
    return EXIT_OK


def emit_report(args, text, title, written=None, timings=None):
    if getattr(args, "output", None):
        outputs.write("-o", args.output, (pretty_json(text) + "\n").encode("utf-8"),
                      force=getattr(args, "force", False))
    report = json.loads(text)
    if args.json:
        print(text)
    else:
        print(summary.render_report(report, title, threshold=getattr(args, "margin_threshold", 0.02)))
        if timings is not None:
            print(summary.render_timings(timings))
        if getattr(args, "output", None):
            print(f"report saved to {args.output}")
    return report


def cmd_inspect(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    text = _orivex.inspect(**table, **analysis_kwargs(args, flip=False))
    report = emit_report(args, text, "inspect")
    return status_exit(report["status"], args.fail_on)


def _qc(args, payload, text):
    if not getattr(args, "qc", None):
        return
    from orivex import qc

    outputs.write("--qc", args.qc, qc.figure_png(json.loads(text), payload),
                  force=getattr(args, "force", False))
    if not args.json:
        print(f"QC figure written to {args.qc}")


def cmd_audit(args):
    table = table_kwargs(args)
    kw = dict(table, dwi=args.dwi, mask=args.mask, **analysis_kwargs(args))
    timings = payload = None
    if (args.profile or args.qc) and not args.dwi:
        raise UsageError("--profile and --qc need --dwi")
    prepare_run(args, table)
    if args.dwi and by_tracking(args):
        kw.update(verdict_kwargs(args))
        if args.profile and args.qc:
            text, timings, payload = _native.audit_profiled_with_qc(**kw)
        elif args.profile:
            text, timings = _native.audit_profiled(**kw)
        elif args.qc:
            text, payload = _native.audit_with_qc(**kw)
        else:
            text = _native.audit(**kw)
    elif args.profile and args.qc:
        text, timings, payload = _orivex.audit_profiled_with_glyphs(**kw)
    elif args.profile:
        text, timings = _orivex.audit_profiled(**kw)
    elif args.qc:
        text, payload = _orivex.audit_with_glyphs(**kw)
    else:
        text = _orivex.audit(**kw)
    report = emit_report(args, text, "audit", timings=timings)
    _qc(args, payload, text)
    return status_exit(report["status"], args.fail_on)


def cmd_detect(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    kw = dict(table, dwi=args.dwi, mask=args.mask, **analysis_kwargs(args, strict=False))
    payload = None
    if by_tracking(args):
        kw.update(verdict_kwargs(args))
        if args.qc:
            text, payload = _native.detect_flip_with_qc(**kw)
        else:
            text = _native.detect_flip(**kw)
    elif args.qc:
        text, payload = _orivex.detect_flip_with_glyphs(**kw)
    else:
        text = _orivex.detect_flip(**kw)
    report = emit_report(args, text, "detect-flip")
    _qc(args, payload, text)
    return status_exit(report["status"], args.fail_on)


def cmd_repair(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    kw = dict(
        table, dwi=args.dwi, out_bvec=args.out_bvec, out_bval=args.out_bval,
        mask=args.mask, out_grad=args.out_grad, provenance=args.provenance,
        dry_run=args.dry_run, in_place=args.force, force_repair=args.force_repair,
        **analysis_kwargs(args),
    )
    payload = None
    module = _orivex
    if by_tracking(args):
        kw.update(verdict_kwargs(args))
        module = _native
    if args.qc:
        text, payload = (module.repair_with_qc if module is _native else module.repair_with_glyphs)(**kw)
    else:
        text = module.repair(**kw)
    report = emit_report(args, text, "repair")
    if not args.json:
        print(summary.render_repair(report, dry_run=args.dry_run, provenance=args.provenance))
        if report.get("repair") is None and "verdict" in report:
            hint = summary.render_warn_hint(report, force_command(args))
            if hint:
                print(hint)
    _qc(args, payload, text)
    return status_exit(report["status"], args.fail_on)


def force_command(args):
    """The command line that would apply a WARN verdict's best candidate."""
    argv = list(args.argv)
    if "--force-repair" not in argv:
        argv.append("--force-repair")
    return shlex.join(["orivex", *argv])


def cmd_recompute(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    text = _orivex.recompute_bval(
        out_bvec=args.out_bvec, out_bval=args.out_bval, **table,
        out_grad=args.out_grad, provenance=args.provenance, b0_threshold=args.b0_threshold,
        dry_run=args.dry_run, in_place=args.force, threads=args.threads,
    )
    if args.json:
        print(text)
    else:
        print(summary.render_recompute(json.loads(text), dry_run=args.dry_run))
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


def main(argv=None):
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parser.parse_args(argv)
    args.argv = argv
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
