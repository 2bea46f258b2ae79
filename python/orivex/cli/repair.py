"""`orivex repair`: the audit, then the corrected table written."""

import shlex

from orivex import api, summary
from orivex.cli import image
from orivex.cli.common import (add_analysis, add_output, add_table, add_verdict, command_help,
                               option, qc_option, status_exit, write_qc)


def add_parser(sub):
    s = sub.add_parser("repair", help="audit, then write a corrected table", **command_help("repair"))
    add_table(s, dwi="required")
    add_analysis(s)
    add_verdict(s)
    add_output(s, force=False)
    g = s.add_argument_group("repair outputs")
    for name in ("out_bvec", "out_bval"):
        option(g, name, required=True, note="the corrected table")
    option(g, "out_grad")
    option(g, "provenance")
    option(g, "dry_run")
    option(g, "in_place", flag="--force")
    option(g, "force_repair")
    option(g, "fix_volumes")
    qc_option(s)


def force_command(args):
    """The command line that would apply a WARN verdict's best candidate."""
    argv = list(args.argv)
    if "--force-repair" not in argv:
        argv.append("--force-repair")
    return shlex.join(["orivex", *argv])


def run(args):
    report = image.run(args, api.repair, "repair", out_bvec=args.out_bvec, out_bval=args.out_bval,
                       out_grad=args.out_grad, provenance=args.provenance, dry_run=args.dry_run,
                       in_place=args.force, force_repair=args.force_repair,
                       fix_volumes=args.fix_volumes)
    if not (args.json or args.quiet):
        print(summary.render_repair(report, dry_run=args.dry_run, provenance=args.provenance))
        if report.repair is None and report.verdict is not None:
            hint = summary.render_warn_hint(report, force_command(args))
            if hint:
                print(hint)
    write_qc(args, report)
    return status_exit(report.status, args.fail_on)
