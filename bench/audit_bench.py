#!/usr/bin/env python3
"""Whole-audit benchmark: audit_profiled on a 96x96x60x70 .nii.gz phantom against `gzip -dc`.

Decompressing the file is the floor any audit of it pays, so the audit is reported as a multiple
of the bare decompression of the same file, timed in the same run. Targets: the whole audit at
most 2x the decompression, and the coherence stage at most a quarter of the audit. Medians of
several runs; nothing here asserts a timing. ORIVEX_BENCH_REPEAT overrides the run count.
"""

import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

import _orivex

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from detector_phantom import brain_phantom, write_fsl  # noqa: E402

SHAPE = (96, 96, 60)
N_B0, N_DIRS = 6, 64
STAGES = ["decompress", "convert", "fit", "coherence", "other", "total"]


def build(work: Path) -> tuple[Path, Path, Path]:
    phantom = brain_phantom(shape=SHAPE, n_dirs=N_DIRS, n_b0=N_B0, snr=20.0)
    # Scanners store DWI as int16; that also gives the file a realistic compressed size.
    data = np.clip(np.rint(phantom.data), 0, 32767).astype(np.int16)
    affine = np.diag([-2.0, 2.0, 2.0, 1.0])
    dwi = work / "dwi.nii.gz"
    nib.save(nib.Nifti1Image(data, affine), dwi)
    write_fsl(work / "dwi.bvec", work / "dwi.bval", phantom.bvecs, phantom.bvals)
    return dwi, work / "dwi.bvec", work / "dwi.bval"


def gunzip_time(path: Path) -> tuple[float, float]:
    """(wall, CPU) seconds of `gzip -dc path > /dev/null`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        subprocess.run(["gzip", "-dc", str(path)], stdout=sink, check=True)
        wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    repeat = int(os.environ.get("ORIVEX_BENCH_REPEAT", "5"))
    threads = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as tmp:
        dwi, bvec, bval = build(Path(tmp))
        size_mb = dwi.stat().st_size / 1e6
        print(f"audit: {SHAPE[0]}x{SHAPE[1]}x{SHAPE[2]}x{N_B0 + N_DIRS} int16 phantom, "
              f"{size_mb:.1f} MB gzip, {threads} threads, median of {repeat}")
        # Interleave the two measurements so a busy machine penalises both alike.
        # CPU seconds are printed too: on a shared machine they move less than wall time.
        runs, gunzip, audit_cpu = [], [], []
        for _ in range(repeat):
            cpu0 = time.process_time()
            runs.append(_orivex.audit_profiled(str(dwi), bvec=str(bvec), bval=str(bval), threads=threads)[1])
            audit_cpu.append(time.process_time() - cpu0)
            gunzip.append(gunzip_time(dwi))
        med = {k: statistics.median(r[k] for r in runs) for k in STAGES}
        bare = statistics.median(g[0] for g in gunzip)
        bare_cpu = statistics.median(g[1] for g in gunzip)
        total = med["total"]
        for key in STAGES:
            print(f"  {key:<11}{med[key]:8.3f} s {100 * med[key] / total:6.1f}%")
        print(f"  gzip -dc   {bare:8.3f} s")
        print(f"CPU time: audit {statistics.median(audit_cpu):.3f} s over {threads} threads, "
              f"gzip -dc {bare_cpu:.3f} s; load average {os.getloadavg()[0]:.1f}")
        print(f"audit / gzip -dc      = {total / bare:5.2f}  (target <= 2)")
        print(f"coherence / audit     = {med['coherence'] / total:5.2f}  (target <= 0.25)")


if __name__ == "__main__":
    main()
