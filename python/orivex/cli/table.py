"""`orivex inspect`: a gradient table on its own."""

import time

from orivex import api
from orivex.cli.common import (add_analysis, add_output, add_table, analysis_kwargs,
                               command_help, emit_report, prepare_run, status_exit, table_kwargs)


def add_parser(sub):
    s = sub.add_parser("inspect", help="analyse a gradient table on its own", **command_help("inspect"))
    add_table(s)
    add_analysis(s, flip=False)
    add_output(s)


def run(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    start = time.perf_counter()
    report = api.inspect(**table, **analysis_kwargs(args, flip=False))
    emit_report(args, report, "inspect", time.perf_counter() - start)
    return status_exit(report.status, args.fail_on)
