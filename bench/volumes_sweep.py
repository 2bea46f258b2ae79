#!/usr/bin/env python3
"""The per-volume check against corrupted tables: phantoms and the two real acquisitions.

Cases, each with and without a mask: the clean table; 10% of the diffusion-weighted volumes (at
least 2) x-flipped; two rows swapped; every non-b0 row shifted by one along the series; the whole
table turned 30° about an oblique axis; and on multi-shell data one volume's b-value doubled.
Each row shows the pattern found, whether it and the suspect set are the expected ones, and the
evidence margins: `gain`, on a clean table the largest share of any volume's residual that any
hypothesis removes (a finding needs 0.5), on a corruption the smallest share the best hypothesis
removes among the true suspects; the captured share (foreign below 0.5 where the signal shows
its six terms, structure of at least 1); the whole-fit
shift ratio (a shift below 0.8); the rotation ratio (a turned table above 1.1).
Usage: volumes_sweep.py [--quick] [--threads N] [--only NAME ...]
"""

from __future__ import annotations

import argparse
import json
import sys
import tempfile
from pathlib import Path

import nibabel as nib
import numpy as np

from orivex import _native

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from detector_phantom import (  # noqa: E402
    brain_phantom,
    sphere_directions,
    table_corruptions,
    write_fsl,
)

REAL = ROOT / "tests" / "data" / "realdwi"


def datasets(quick: bool):
    """(name, dwi path, directions in the FSL frame, b-values, mask path or None, multishell)."""
    work = Path(tempfile.mkdtemp(prefix="orivex_volumes_"))
    # A negative determinant makes the FSL frame the voxel frame, so phantom directions are
    # written as they are.
    affine = np.diag([-2.0, 2.0, 2.0, 1.0])
    sets = []

    def phantom(name, **kw):
        p = brain_phantom(**kw)
        path = work / f"{name}.nii"
        nib.save(nib.Nifti1Image(p.data, affine), path)
        mask = work / f"{name}_mask.nii"
        nib.save(nib.Nifti1Image(p.brain.astype(np.uint8), affine), mask)
        sets.append((name, path, p.bvecs, p.bvals, mask, len(set(p.bvals[p.bvals > 50])) > 1))

    phantom("phantom40_snr20", snr=20.0)
    phantom("phantom60_snr25", shape=(48, 48, 24), n_dirs=60, n_b0=5, snr=25.0, seed=5)
    ms_dirs = np.vstack([np.zeros((4, 3)), sphere_directions(30, 7), sphere_directions(30, 8)])
    ms_b = np.concatenate([np.zeros(4), np.full(30, 1000.0), np.full(30, 2000.0)])
    order = np.r_[0:4, 4 + np.argsort(np.r_[0:60] % 30, kind="stable")]  # shells interleaved
    phantom("multishell_snr25", snr=25.0, table=(ms_dirs[order], ms_b[order]), seed=9)
    if not quick:
        phantom("phantom20_snr15", n_dirs=20, n_b0=2, snr=15.0, seed=21)
        phantom("phantom60_snr30_big", shape=(64, 64, 32), n_dirs=60, n_b0=6, snr=30.0, seed=2)
    for real in ["siemens_prisma_xa30_ax", "uih_dti16_ax"]:
        folder = REAL / real
        dirs = np.loadtxt(folder / "dwi.bvec").T
        bvals = np.loadtxt(folder / "dwi.bval")
        sets.append((real, folder / "dwi.nii.gz", dirs, bvals, folder / "mask.nii.gz", False))
    return work, sets


def run(work, dwi, dirs, bvals, mask, threads):
    write_fsl(work / "t.bvec", work / "t.bval", dirs, bvals)
    kw = dict(bvec=str(work / "t.bvec"), bval=str(work / "t.bval"), threads=threads)
    if mask is not None:
        kw["mask"] = str(mask)
    report = json.loads(_native.detect_flip(str(dwi), **kw))
    return report["volumes"], report["verdict"]["decision"]


def _gains(e):
    """The share of a volume's residual each hypothesis removes (axes, row, b-value scale)."""
    m = e["misfit"] or 0.0
    hyps = [e["axes"], e["b_scale"]] + ([e["row"]] if e["row"] else [])
    return [1.0 - h["residual"] / m if m > 0 else 0.0 for h in hyps]


def margin(vol, expected, suspects):
    """On a clean table, the largest share of any volume's residual a hypothesis removes (a
    finding needs 0.5); on a corruption with known suspects, the smallest best share among them."""
    by = {e["volume"]: e for e in vol["entries"]}
    if expected == "none":
        return max((max(_gains(e)) for e in vol["entries"]), default=float("nan"))
    if not suspects:
        return float("nan")
    return min(max(_gains(by[s])) if s in by else float("nan") for s in suspects)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--only", nargs="*")
    args = ap.parse_args()
    work, sets = datasets(args.quick)
    failures = 0
    print(f"{'set':24} {'mask':5} {'case':18} {'pattern':14} {'ok':3} {'suspects':10} "
          f"{'gain':>8} {'captured':>9} {'struct':>6} {'shift':>6} {'rotation':>8} verdict")
    for name, dwi, dirs, bvals, mask, multishell in sets:
        if args.only and name not in args.only:
            continue
        for masked in (False, True):
            for case, d, b, expected, suspects in table_corruptions(dirs, bvals, multishell):
                vol, decision = run(work, dwi, d, b, mask if masked else None, args.threads)
                ok_pattern = vol["pattern"] == expected
                if suspects is None:
                    ok_suspects = vol["pattern"] != expected or len(vol["suspect"]) >= 1
                else:
                    ok_suspects = vol["suspect"] == suspects
                ok = ok_pattern and ok_suspects
                failures += not ok
                gain = margin(vol, expected, suspects)
                shown = "exact" if ok_suspects else str(vol["suspect"][:6])
                ev = vol["evidence"]
                print(f"{name:24} {'yes' if masked else 'no':5} {case:18} {vol['pattern']:14} "
                      f"{'ok' if ok else 'NO':3} {shown:10} "
                      f"{gain:8.2f} {ev['explained']:9.3f} {ev['structure']:6.2f} "
                      f"{ev['shift_ratio']:6.3f} "
                      f"{ev['rotation_ratio']:8.4f} {decision}", flush=True)
    print(f"{failures} case(s) not as expected")


if __name__ == "__main__":
    main()
