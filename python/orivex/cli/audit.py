"""`orivex audit`: a table against its DWI (the verdict, coherence beside it, b0 drift)."""

from orivex import api
from orivex.cli import image
from orivex.cli.common import (UsageError, add_analysis, add_output, add_table, add_verdict,
                               command_help, option, qc_option, status_exit, write_qc)


def add_parser(sub):
    s = sub.add_parser("audit", help="audit a table against its DWI (flip detection, b0 drift)",
                       **command_help("audit"))
    add_table(s, dwi="optional")
    add_analysis(s)
    add_verdict(s)
    add_output(s)
    option(s, "profile", note="printed after the summary")
    qc_option(s)


def run(args):
    if (args.profile or args.qc_figure) and not args.dwi:
        raise UsageError("--profile and --qc need --dwi")
    profile = bool(args.dwi) and (args.profile or args.verbose)
    report = image.run(args, api.audit, "audit", profile=profile)
    write_qc(args, report)
    return status_exit(report.status, args.fail_on)
