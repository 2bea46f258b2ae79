"""`orivex demo`: a guided run on the example acquisition shipped inside the package."""

import os
import shlex
import shutil
import sys
import tempfile
from importlib import resources

from orivex import cli

# The bundled set whose table is flipped on purpose. The real acquisitions we can ship have too
# few directions for a clear margin, so the demo uses a synthetic phantom with three fibre rings.
DEMO_SET = "phantom"


def _copy_example(dest):
    src = resources.files("orivex") / "data" / DEMO_SET
    for name in ("dwi.nii.gz", "dwi.bvec", "dwi.bval", "dwi_xflip.bvec", "mask.nii.gz"):
        with resources.as_file(src / name) as path:
            shutil.copyfile(path, os.path.join(dest, name))


def _run(argv):
    print("$ orivex " + " ".join(shlex.quote(a) for a in argv), flush=True)
    code = cli.main(argv)
    print(flush=True)
    return code


def run():
    work = tempfile.mkdtemp(prefix="orivex-demo-")
    _copy_example(work)
    dwi = os.path.join(work, "dwi.nii.gz")
    bad_bvec = os.path.join(work, "dwi_xflip.bvec")
    bval = os.path.join(work, "dwi.bval")
    print("orivex demo: a DWI phantom (three fibre rings, 30 directions at b=1000) whose bvec has")
    print(f"its x axis reversed on purpose. Files copied to {work}\n")
    code = _run(["audit", "--dwi", dwi, "--bvec", bad_bvec, "--bval", bval])
    if code not in (0, 3):
        return code
    fixed = os.path.join(work, "fixed")
    code = _run(["repair", "--dwi", dwi, "--bvec", bad_bvec, "--bval", bval,
                 "--out-bvec", fixed + ".bvec", "--out-bval", fixed + ".bval", "--dry-run"])
    if code not in (0, 3):
        return code
    print("Next, write the corrected table and audit it again:")
    print(f"  orivex repair --dwi {shlex.quote(dwi)} --bvec {shlex.quote(bad_bvec)} --bval {shlex.quote(bval)} "
          f"--out-bvec {shlex.quote(fixed + '.bvec')} --out-bval {shlex.quote(fixed + '.bval')}")
    print(f"  orivex audit --dwi {shlex.quote(dwi)} --bvec {shlex.quote(fixed + '.bvec')} --bval {shlex.quote(bval)}")
    return 0


if __name__ == "__main__":
    sys.exit(run())
