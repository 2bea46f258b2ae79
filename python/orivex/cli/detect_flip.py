"""`orivex detect-flip`: the flip detection alone."""

from orivex import api
from orivex.cli import image
from orivex.cli.common import (add_analysis, add_output, add_table, add_verdict, command_help,
                               qc_option, status_exit, write_qc)


def add_parser(sub):
    s = sub.add_parser("detect-flip", help="flip detection only", **command_help("detect-flip"))
    add_table(s, dwi="required")
    add_analysis(s, strict=False)
    add_verdict(s)
    add_output(s)
    qc_option(s)


def run(args):
    report = image.run(args, api.detect_flip, "detect-flip", strict=False)
    write_qc(args, report)
    return status_exit(report.status, args.fail_on)
