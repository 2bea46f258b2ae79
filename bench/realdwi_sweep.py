#!/usr/bin/env python3
"""The corruption sweep on the two real acquisitions under tests/data/realdwi.

For each set, each mask (none, so the automatic masks, or the supplied whole-brain mask) and each
table form (the shipped bvec/bval, or the equivalent world-frame grad file), the table is
corrupted by every candidate T (g -> T·g) and checked with detect_flip. One row per corruption:
decision, best candidate, relative margin, and whether the best candidate undoes T ("ok": best·T
is ±I); with the tracking verdict (the default) also the best/second mean-length ratio. A right
answer is PASS for the true table and FLAG with the inverse for every other.
Usage: realdwi_sweep.py [set ...] [--threads N] [--evidence tracking|coherence] [--seeds N]
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
from orivex import _native

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


def distinct(cands):
    """The first of each candidate and its negation: 24 corruptions."""
    out = []
    for label, t in cands:
        if not any(np.array_equal(t, u) or np.array_equal(t, -u) for _, u in out):
            out.append((label, t))
    return out


def run_set(name, work, threads, evidence="coherence", seeds=2000):
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
        for label, t in corruptions(evidence):
            if form == "grad":
                write_grad(work / "t.b", world @ t.T, bvals)
                tables = {"grad": str(work / "t.b")}
            else:
                write_fsl(work / "t.bvec", work / "t.bval", fsl @ t.T, bvals)
                tables = {"bvec": str(work / "t.bvec"), "bval": str(work / "t.bval")}
            if evidence == "tracking":
                text = _native.detect_flip(str(dwi), **tables, mask=mask, threads=threads, seeds=seeds)
                report = json.loads(text)
                results[(mask_kind, form, label)] = verdict_row(report)
            else:
                text = _orivex.detect_flip(str(dwi), **tables, mask=mask, threads=threads)
                results[(mask_kind, form, label)] = json.loads(text)["flip"]
    return results


def corruptions(evidence):
    return distinct(candidates()) if evidence == "tracking" else candidates()


def verdict_row(report):
    """The verdict in the shape of a flip result, plus the best/second mean-length ratio."""
    v = report["verdict"]
    best, second = v["evidence"]["best"], v["evidence"]["runner_up"]
    return {"decision": v["decision"], "best": best, "relative_margin": v["relative_margin"],
            "ratio": best["mean_length_mm"] / max(second["mean_length_mm"], 1e-9),
            "working_b": report["flip"]["working_b"], "n_wm_voxels": report["tracking"]["region_voxels"],
            "mask_mean_fa": report["flip"]["mask_mean_fa"]}


def right(flip, t):
    """PASS for the true table, FLAG with the inverse otherwise."""
    if undoes(np.eye(3), t):
        return flip["decision"] == "PASS"
    return flip["decision"] == "FLAG" and undoes(flip["best"]["matrix"], t)


def cell(flip, t):
    verdict = "ok" if undoes(flip["best"]["matrix"], t) else "WRONG"
    ratio = f" x{flip['ratio']:.2f}" if "ratio" in flip else ""
    return f"{flip['decision']} {flip['best']['label']} {100 * flip['relative_margin']:5.2f}%{ratio} {verdict:<5}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sets", nargs="*", default=SETS)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--evidence", choices=["tracking", "coherence"], default="tracking")
    parser.add_argument("--seeds", type=int, default=2000)
    args = parser.parse_args()
    width = 36 if args.evidence == "tracking" else 30
    ratios, wrong_total, cases = [], 0, 0
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.sets:
            start = time.perf_counter()
            results = run_set(name, Path(tmp), args.threads, args.evidence, args.seeds)
            first = results[("auto", "fsl", "+x+y+z")]
            region = "tracking region" if args.evidence == "tracking" else "automatic mask"
            print(f"\n{name}: working b {first['working_b']:g}, {region} "
                  f"{first['n_wm_voxels']} voxels (mean FA {first['mask_mean_fa']:.3f}), "
                  f"with the supplied mask {results[('brain', 'fsl', '+x+y+z')]['n_wm_voxels']} voxels "
                  f"(mean FA {results[('brain', 'fsl', '+x+y+z')]['mask_mean_fa']:.3f})")
            header = "".join(f"{m + '/' + f:<{width}}" for m, f in CONFIGS)
            print(f"{'corruption':<11}{header}")
            tally = {c: {} for c in CONFIGS}
            for label, t in corruptions(args.evidence):
                cells = []
                for config in CONFIGS:
                    flip = results[config + (label,)]
                    cells.append(f"{cell(flip, t):<{width}}")
                    wrong = not undoes(flip["best"]["matrix"], t)
                    key = flip["decision"] + (" wrong-best" if wrong else "")
                    tally[config][key] = tally[config].get(key, 0) + 1
                    cases += 1
                    wrong_total += not right(flip, t)
                    if "ratio" in flip:
                        ratios.append(flip["ratio"])
                print(f"{label:<11}{''.join(cells)}")
            for config in CONFIGS:
                counts = ", ".join(f"{k} {v}" for k, v in sorted(tally[config].items()))
                print(f"  {config[0]}/{config[1]}: {counts}")
            print(f"  ({time.perf_counter() - start:.1f} s)")
        print(f"\n{cases - wrong_total} of {cases} right (PASS for the true table, FLAG with the inverse otherwise)")
        if ratios:
            print(f"best/second mean-length ratio: min {min(ratios):.2f}, median {np.median(ratios):.2f}, "
                  f"max {max(ratios):.2f}")


if __name__ == "__main__":
    main()
