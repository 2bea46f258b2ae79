"""The road the image commands (audit, detect-flip, repair) share: check the paths, run the API
call, print and save its report, draw the QC figure."""

import time

from orivex.cli.common import (analysis_kwargs, emit_report, prepare_run, table_kwargs,
                               verdict_kwargs)


def run(args, function, title, *, strict=True, **extra):
    """The Report of `function` (an orivex.api call) on the command's image and table."""
    table = table_kwargs(args)
    prepare_run(args, table)
    start = time.perf_counter()
    report = function(**table, dwi=args.dwi, mask=args.mask, **analysis_kwargs(args, strict=strict),
                      **verdict_kwargs(args), qc_data=bool(args.qc_figure), **extra)
    emit_report(args, report, title, time.perf_counter() - start)
    return report
