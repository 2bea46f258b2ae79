"""`orivex recompute-bval`: b-values recovered from amplitude-encoded directions."""

from orivex import api, summary
from orivex.cli.common import (EXIT_OK, add_table, add_verbosity, command_help,
                               option, prepare_run, table_kwargs)


def add_parser(sub):
    s = sub.add_parser("recompute-bval", help="recover b-values from amplitude-encoded bvecs",
                       **command_help("recompute-bval", terms=False))
    add_table(s)
    g = s.add_argument_group("outputs")
    for name in ("out_bvec", "out_bval"):
        option(g, name, required=True)
    option(g, "out_grad")
    option(g, "provenance")
    option(g, "b0_threshold")
    option(g, "dry_run")
    option(g, "in_place", flag="--force")
    g.add_argument("--json", action="store_true", help="print the module's JSON unchanged")
    option(g, "threads")
    add_verbosity(g)


def run(args):
    table = table_kwargs(args)
    prepare_run(args, table)
    result = api.recompute_bval(
        **table, out_bvec=args.out_bvec, out_bval=args.out_bval, out_grad=args.out_grad,
        provenance=args.provenance, b0_threshold=args.b0_threshold, dry_run=args.dry_run,
        in_place=args.force, threads=args.threads)
    if args.json:
        print(result.to_json())
    elif args.quiet:
        print(summary.render_recompute(result, dry_run=args.dry_run).splitlines()[0])
    else:
        print(summary.render_recompute(result, dry_run=args.dry_run))
    return EXIT_OK
