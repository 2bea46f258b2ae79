#!/usr/bin/env python3
"""The tracking verdict on the real acquisitions under tests/data/realdwi, timed against MRtrix3.

For each set, with its table x-flipped (the fault users meet most), this reports:
- the tracking stage (orivex._native.audit with profile=True, "tracking", median of runs; target <= 0.3 s
  at 2000 seeds on two cores),
- the whole `orivex detect-flip` command (a fresh process, median of runs),
- MRtrix3 `dwigradcheck` on the same files in the same run (installed through apt-get when
  missing; the comparison is skipped when it cannot be), and the ratio of the two (target >= 30).
Nothing here asserts a timing. ORIVEX_BENCH_REPEAT overrides the run count.
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import json

from orivex import _native

ROOT = Path(__file__).resolve().parents[1]
REAL = ROOT / "tests" / "data" / "realdwi"
SETS = ["siemens_prisma_xa30_ax", "uih_dti16_ax"]


def dwigradcheck():
    """The dwigradcheck executable, installing Debian's mrtrix3 if needed; None if unavailable."""
    found = shutil.which("dwigradcheck")
    if found:
        return found
    if shutil.which("apt-get") and os.geteuid() == 0:
        print("installing mrtrix3 (for dwigradcheck) ...", flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        for cmd in (["apt-get", "install", "-y", "-q", "mrtrix3"], ["apt-get", "update", "-q"],
                    ["apt-get", "install", "-y", "-q", "mrtrix3"]):
            subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if shutil.which("dwigradcheck"):
                break
    return shutil.which("dwigradcheck")


def x_flipped(src: Path, dest: Path):
    rows = [line.split() for line in src.read_text().splitlines() if line.strip()]
    rows[0] = ["{:.6f}".format(-float(v) + 0.0) for v in rows[0]]
    dest.write_text("\n".join(" ".join(r) for r in rows) + "\n")


def wall(cmd):
    start = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, text=True)
    return time.perf_counter() - start, r


def main():
    repeat = int(os.environ.get("ORIVEX_BENCH_REPEAT", "5"))
    threads = 2
    orivex = shutil.which("orivex") or str(Path(sys.executable).parent / "orivex")
    peer = dwigradcheck()
    if peer is None:
        print("dwigradcheck unavailable: the MRtrix3 comparison is skipped")
    print(f"tracking verdict on real sets, x-flipped tables, {threads} threads, median of {repeat}")
    print(f"{'set':<24}{'verdict':<16}{'tracking s':>11}{'detect-flip s':>14}{'dwigradcheck s':>15}{'ratio':>8}")
    with tempfile.TemporaryDirectory() as tmp:
        for name in SETS:
            folder = REAL / name
            bvec = Path(tmp) / f"{name}.bvec"
            x_flipped(folder / "dwi.bvec", bvec)
            files = dict(bvec=str(bvec), bval=str(folder / "dwi.bval"))
            dwi = str(folder / "dwi.nii.gz")
            runs = [_native.audit(dwi, **files, threads=threads, profile=True) for _ in range(repeat)]
            verdict = json.loads(runs[0][0])["verdict"]
            tracking = statistics.median(t["tracking"] for _, t in runs)
            cli = statistics.median(
                wall([orivex, "detect-flip", "--dwi", dwi, "--bvec", files["bvec"], "--bval",
                      files["bval"], "--threads", str(threads), "--json"])[0]
                for _ in range(repeat))
            peer_s, ratio, peer_says = float("nan"), float("nan"), ""
            if peer is not None:
                out = Path(tmp) / f"{name}.fixed"
                peer_s, r = wall([peer, dwi, "-fslgrad", files["bvec"], files["bval"],
                                  "-export_grad_fsl", f"{out}.bvec", f"{out}.bval",
                                  "-nthreads", str(threads), "-force", "-quiet"])
                if r.returncode != 0:
                    print(f"  dwigradcheck failed on {name}: {r.stderr.strip()[-300:]}")
                    peer_s = float("nan")
                else:
                    ratio = peer_s / cli
            label = verdict["decision"] + " " + (verdict["recommended_label"] or "")
            print(f"{name:<24}{label:<16}{tracking:>11.3f}{cli:>14.3f}{peer_s:>15.1f}{ratio:>7.0f}x{peer_says}")
    print("targets: tracking <= 0.3 s per set; dwigradcheck / detect-flip >= 30")


if __name__ == "__main__":
    main()
