#!/usr/bin/env python3
"""The 48-corruption flip sweep on the two real acquisitions under tests/data/realdwi.

For each set, each mask (the automatic white-matter mask, or the supplied whole-brain mask) and
each table form (the shipped bvec/bval, or the equivalent world-frame grad file), the table is
corrupted by every candidate T (g -> T·g) and audited with detect_flip. One row per corruption:
decision, best candidate, relative margin, and whether the best candidate undoes T ("ok": best·T
is ±I). Usage: realdwi_sweep.py [set ...] [--threads N]
"""

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

import _orivex

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from detector_phantom import (  # noqa: E402
    candidates,
    fsl_voxel_map,
    undoes,
    world_rotation,
    write_fsl,
    write_grad,
)

REAL = ROOT / "tests" / "data" / "realdwi"
SETS = ["siemens_prisma_xa30_ax", "uih_dti16_ax"]
CONFIGS = [("auto", "fsl"), ("auto", "grad"), ("brain", "fsl"), ("brain", "grad")]


def run_set(name, work, threads):
    folder = REAL / name
    affine = nib.load(folder / "dwi.nii.gz").affine
    fsl = np.loadtxt(folder / "dwi.bvec").T
    bvals = np.loadtxt(folder / "dwi.bval")
    # FSL -> voxel (F, its own inverse) -> world (R): the grad file a converter would write.
    world = fsl @ fsl_voxel_map(affine).T @ world_rotation(affine).T
    # Decompress once: the sweep audits the same image 192 times.
    dwi = work / f"{name}.nii"
    nib.save(nib.load(folder / "dwi.nii.gz"), dwi)
    results = {}
    for mask_kind, form in CONFIGS:
        mask = str(folder / "mask.nii.gz") if mask_kind == "brain" else None
        for label, t in candidates():
            if form == "grad":
                write_grad(work / "t.b", world @ t.T, bvals)
                tables = {"grad": str(work / "t.b")}
            else:
                write_fsl(work / "t.bvec", work / "t.bval", fsl @ t.T, bvals)
                tables = {"bvec": str(work / "t.bvec"), "bval": str(work / "t.bval")}
            text = _orivex.detect_flip(str(dwi), **tables, mask=mask, threads=threads)
            results[(mask_kind, form, label)] = json.loads(text)["flip"]
    return results


def cell(flip, t):
    verdict = "ok" if undoes(flip["best"]["matrix"], t) else "WRONG"
    return f"{flip['decision']} {flip['best']['label']} {100 * flip['relative_margin']:5.2f}% {verdict:<5}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sets", nargs="*", default=SETS)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.sets:
            start = time.perf_counter()
            results = run_set(name, Path(tmp), args.threads)
            first = results[("auto", "fsl", "+x+y+z")]
            print(f"\n{name}: working b {first['working_b']:g}, automatic mask "
                  f"{first['n_wm_voxels']} voxels (mean FA {first['mask_mean_fa']:.3f}), "
                  f"supplied mask {results[('brain', 'fsl', '+x+y+z')]['n_wm_voxels']} voxels "
                  f"(mean FA {results[('brain', 'fsl', '+x+y+z')]['mask_mean_fa']:.3f})")
            header = "".join(f"{m + '/' + f:<30}" for m, f in CONFIGS)
            print(f"{'corruption':<11}{header}")
            tally = {c: {} for c in CONFIGS}
            for label, t in candidates():
                cells = []
                for config in CONFIGS:
                    flip = results[config + (label,)]
                    cells.append(f"{cell(flip, t):<30}")
                    wrong = not undoes(flip["best"]["matrix"], t)
                    key = flip["decision"] + (" wrong-best" if wrong else "")
                    tally[config][key] = tally[config].get(key, 0) + 1
                print(f"{label:<11}{''.join(cells)}")
            for config in CONFIGS:
                counts = ", ".join(f"{k} {v}" for k, v in sorted(tally[config].items()))
                print(f"  {config[0]}/{config[1]}: {counts}")
            print(f"  ({time.perf_counter() - start:.1f} s)")


if __name__ == "__main__":
    main()
