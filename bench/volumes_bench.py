#!/usr/bin/env python3
"""What the per-volume check adds to `orivex detect-flip`.

For each series (the two vendored real scans and the 96x96x60x70 phantom of audit_bench.py),
interleaved ORIVEX_BENCH_REPEAT times (default 7): the wall time of `orivex detect-flip` as a user
runs it, and the seconds of the volume stage reported by `_native.audit(..., profile=True)` on
the same series (the same stage on the same field). The overhead is the stage over the rest of the
command: stage / (command − stage). Medians with the range over the repeats. Nothing here asserts
a timing.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from audit_bench import _CLI, build_phantom  # noqa: E402

REAL = ROOT / "tests" / "data" / "realdwi"
STAGE = """
import json, sys
from orivex import _native
text, t = _native.audit(sys.argv[1], bvec=sys.argv[2], bval=sys.argv[3], profile=True)
print(json.dumps(t))
"""


def cli_seconds(dwi, bvec, bval) -> float:
    start = time.perf_counter()
    argv = ["detect-flip", "--dwi", str(dwi), "--bvec", str(bvec), "--bval", str(bval), "-q"]
    subprocess.run(_CLI + argv, check=False, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def stage_seconds(dwi, bvec, bval) -> dict:
    out = subprocess.run([sys.executable, "-c", STAGE, str(dwi), str(bvec), str(bval)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    repeat = int(os.environ.get("ORIVEX_BENCH_REPEAT", "7"))
    work = Path(tempfile.mkdtemp(prefix="orivex_volumes_bench_"))
    sets = [(name, REAL / name / "dwi.nii.gz", REAL / name / "dwi.bvec", REAL / name / "dwi.bval")
            for name in ("siemens_prisma_xa30_ax", "uih_dti16_ax")]
    sets.append(("phantom 96x96x60x70", *build_phantom(work)))
    print(f"{'series':24} {'detect-flip s':>14} {'volume stage s':>15} {'overhead':>9} "
          f"{'range':>15}")
    for name, dwi, bvec, bval in sets:
        cli, stage, ratios = [], [], []
        for _ in range(repeat):
            c = cli_seconds(dwi, bvec, bval)
            s = stage_seconds(dwi, bvec, bval)["volumes"]
            cli.append(c)
            stage.append(s)
            ratios.append(s / max(c - s, 1e-9))
        print(f"{name:24} {statistics.median(cli):14.3f} {statistics.median(stage):15.4f} "
              f"{100 * statistics.median(ratios):8.1f}% "
              f"{100 * min(ratios):6.1f}–{100 * max(ratios):.1f}%",
              flush=True)


if __name__ == "__main__":
    main()
