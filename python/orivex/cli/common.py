"""What the commands share: exit codes, help texts, option groups and their values, the checks
of inputs and outputs before a run, and printing a report."""

import argparse
import math
import os
import re
import stat
import sys

from orivex import api, summary
from orivex.cli import outputs

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


def command_help(command, terms=True, *parts):
    """The keywords of a command's subparser: its examples, terms and exit codes as epilog."""
    return dict(epilog=_epilog(command, *([TERMS_HELP] if terms else []), *parts, EXIT_CODES_HELP),
                formatter_class=argparse.RawDescriptionHelpFormatter)


class UsageError(Exception):
    pass


class InputError(Exception):
    """An input file that cannot be read; the text names the option and the path."""


def _number(text):
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None


def integer(text):
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None


def checked(name, parse=_number):
    """An argparse type for option `name`: the number, held to the range the core holds every
    door to (orivex.api.check_options), with the core's message."""

    def convert(text):
        value = parse(text)
        try:
            api.check_options(**{name: value})
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
        return value

    convert.__name__ = name
    return convert


def seconds(text):
    value = _number(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a number of seconds above 0, not {text}")
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


def top_parser():
    """The program's parser and its (still empty) set of command subparsers."""
    p = Parser(
        prog="orivex",
        description="Check and repair diffusion-MRI gradient tables: shells, b0, angular coverage, "
        "amplitude-encoded bvecs, and axis flips or swaps relative to the image.",
        epilog=EXIT_CODES_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--version", action="version", version=f"orivex {api.version()}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    sub.required = True
    return p, sub


def parse_one(command, argv):
    """The arguments of one command module's command line (argv starts with its name)."""
    p, sub = top_parser()
    command.add_parser(sub)
    args = p.parse_args(argv)
    args.argv = list(argv)
    return args


def option(g, name, *, flag=None, note=None, **kw):
    """An option for a parameter of the table (`api.PARAMETERS`): its default, its range check
    (`checked`) for a number, and its one-line doc as help, followed by `note` and the default."""
    kind, value, doc = api.PARAMETERS[name]
    if kind in ("real", "count", "threads") and "type" not in kw:
        # The core's range checks and messages, as at every other door.
        kw["type"] = checked(name, _number if kind == "real" else integer)
    help = doc + (f"; {note}" if note else "")
    flag = flag or "--" + name.replace("_", "-")
    if kind == "flag":
        return g.add_argument(flag, action="store_true", help=help, **kw)
    if value is not None:
        help += f" (default {value:g})"
    return g.add_argument(flag, default=value, help=help, **kw)


def add_table(p, dwi=None):
    g = p.add_argument_group("gradient table (FSL pair or MRtrix file)")
    for name in ("bvec", "bval", "grad"):
        option(g, name)
    if dwi is not None:
        option(p, "dwi", required=dwi == "required",
               note="without a table its sibling .bvec/.bval are used")
        option(p, "mask")


def add_analysis(p, flip=True, strict=True):
    g = p.add_argument_group("analysis options")
    option(g, "tolerance")
    option(g, "b0_threshold")
    option(g, "shell")
    if flip:
        option(g, "step")
        option(g, "margin_threshold")
    if strict:
        option(g, "strict")
        option(g, "norm_tolerance")


def add_verdict(p, memory=True):
    g = p.add_argument_group("verdict (tracking decides, coherence is shown beside it)")
    g.add_argument("--evidence", choices=["tracking", "coherence"], default="tracking",
                   help="tracking: the verdict of fibre tracking under each candidate (default); "
                   "coherence: the neighbourhood-coherence result alone")
    option(g, "seeds")
    option(g, "verdict_margin")
    if memory:
        option(g, "memory_limit", type=memory_size, metavar="SIZE", note="e.g. 8G or 500M")


def add_output(p, fail_on=True, force=True):
    g = p.add_argument_group("output")
    g.add_argument("--json", action="store_true", help="print the module's JSON unchanged")
    g.add_argument("-o", "--output", metavar="FILE", help="save the pretty-printed report")
    if force:
        g.add_argument("--force", action="store_true", help="replace existing outputs (originals kept as .bak)")
    option(g, "threads", note="default: all processors")
    add_verbosity(g)
    if fail_on:
        g.add_argument("--fail-on", choices=["flag"], help="exit 4 on FLAG")


def add_verbosity(g):
    g = g.add_mutually_exclusive_group()
    g.add_argument("-q", "--quiet", action="store_true", help="print only the status line (errors still go to stderr)")
    g.add_argument("-v", "--verbose", action="store_true",
                   help="also print the full candidate tables and the timings")


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
               ("-o", "output", inputs), ("--qc", "qc_figure", inputs)]
    taken = []
    for option, attr, protected in planned:
        path = getattr(args, attr, None)
        if not path:
            continue
        ours = attr in ("output", "qc_figure")
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


def qc_option(p):
    p.add_argument("--qc", metavar="FILE.png", dest="qc_figure",
                   help="write a visual QC figure (needs orivex[plot])")


def emit_report(args, report, title, seconds=None):
    """Saves (-o) and prints one report: its JSON, or its summary as loud as asked."""
    if getattr(args, "output", None):
        outputs.write("-o", args.output, (report.to_json(pretty=True) + "\n").encode("utf-8"),
                      force=getattr(args, "force", False))
    if args.json:
        print(report.to_json())
        return
    if args.quiet:
        print(summary.status_line(report, title))
        return
    print(summary.render_report(report, title, threshold=getattr(args, "margin_threshold", 0.02),
                                verbose=args.verbose))
    if report.timings is not None:
        print(summary.render_timings(report.timings))
    elif args.verbose and seconds is not None:
        print(f"time: {seconds:.3f} s")
    if getattr(args, "output", None):
        print(f"report saved to {args.output}")




def write_qc(args, report):
    """The QC figure of --qc, from the report's QC data."""
    if not getattr(args, "qc_figure", None):
        return
    from orivex import qc

    outputs.write("--qc", args.qc_figure, qc.figure_png(report), force=getattr(args, "force", False))
    if not (args.json or args.quiet):
        print(f"QC figure written to {args.qc_figure}")
