"""`orivex demo`: a guided run on the real acquisition shipped inside the package."""

import os
import shlex
import shutil
import tempfile
from importlib import resources

from orivex import api, summary
from orivex.cli import audit
from orivex.cli.common import command_help, parse_one

# A real clinical scan (United Imaging uMR 770, 16 directions at b=1000), with its licence.
DEMO_SET = "uih_dti16_ax"
FILES = ("dwi.nii.gz", "dwi.bvec", "dwi.bval", "mask.nii.gz", "LICENSE")


def _copy_example(dest):
    src = resources.files("orivex") / "data" / DEMO_SET
    for name in FILES:
        with resources.as_file(src / name) as path:
            shutil.copyfile(path, os.path.join(dest, name))


def _negate_first_row(src, dest):
    """The bvec with its x components negated: the most common table fault in practice."""
    with open(src, encoding="utf-8") as f:
        rows = [line.split() for line in f if line.strip()]
    flipped = [-float(v) + 0.0 for v in rows[0]]  # + 0.0 turns -0.0 into 0.0
    rows[0] = ["{:.6f}".format(v) for v in flipped]
    with open(dest, "w", encoding="utf-8") as f:
        f.write("\n".join(" ".join(row) for row in rows) + "\n")


def add_parser(sub):
    sub.add_parser("demo", help="run orivex on the real scan shipped with it, x-flipped",
                   **command_help("demo", terms=False))


def run(args=None):
    work = tempfile.mkdtemp(prefix="orivex-demo-")
    _copy_example(work)
    dwi = os.path.join(work, "dwi.nii.gz")
    bad_bvec = os.path.join(work, "dwi_xflip.bvec")
    bval = os.path.join(work, "dwi.bval")
    _negate_first_row(os.path.join(work, "dwi.bvec"), bad_bvec)
    print("orivex demo: a real brain scan (United Imaging uMR 770, 16 directions at b=1000) whose")
    print(f"bvec has its x axis reversed on purpose. Files copied to {work}\n")
    argv = ["audit", "--dwi", dwi, "--bvec", bad_bvec, "--bval", bval]
    print("$ orivex " + shlex.join(argv), flush=True)
    code = audit.run(parse_one(audit, argv))
    print(flush=True)
    if code not in (0, 3):
        return code

    fixed = os.path.join(work, "fixed")
    print("The same check as a repair that writes nothing (--dry-run):")
    report = api.repair(dwi, bad_bvec, bval, out_bvec=fixed + ".bvec", out_bval=fixed + ".bval", dry_run=True)
    print(summary.render_repair(report, dry_run=True, provenance=None))
    print()
    print("Next, write the corrected table, audit it again, and draw the QC figure:")
    print(f"  orivex repair --dwi {shlex.quote(dwi)} --bvec {shlex.quote(bad_bvec)} --bval {shlex.quote(bval)} "
          f"--out-bvec {shlex.quote(fixed + '.bvec')} --out-bval {shlex.quote(fixed + '.bval')}")
    print(f"  orivex audit --dwi {shlex.quote(dwi)} --bvec {shlex.quote(fixed + '.bvec')} --bval {shlex.quote(bval)} "
          f"--qc {shlex.quote(os.path.join(work, 'qc.png'))}")
    return 0

