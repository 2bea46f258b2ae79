#!/usr/bin/env python3
"""The tracking verdict on degraded copies of the real acquisitions and of the brain phantom.

Degradations (tests/python/degrade.py): Rician noise at sigma = 0.05, 0.1, 0.15 x the median b0
in the mask; the first 6 and the first 12 diffusion directions with one b0; a central slab of 12
slices; and combinations. Each copy is checked with its table as given and x-flipped, y-flipped
and xy-swapped, without a mask and with the brain mask, through orivex._native.detect_flip.
A right answer is PASS for the true table and FLAG with the inverse for a corrupted one; WARN is
counted apart; anything else (a wrong FLAG, a corrupted table passed) is wrong. The isotropic
copies (every diffusion-weighted volume replaced by the voxel's mean) hold no fibre direction:
there every answer but WARN is wrong.

Prints one row per case with --verbose, then per degradation: WARN and wrong counts without and
with the mask, and the median processor time (s, both workers) of the cases that decided on the
first pass and of those that gathered more evidence. Usage: degraded_sweep.py [--scans siemens uih phantom] [--kinds ...]
[--threads N] [--json out.json]
"""

import argparse
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

from orivex import _native

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from degrade import Scan, central_slab, first_directions, isotropic, rician  # noqa: E402
from detector_phantom import brain_phantom, fsl_voxel_map, oblique_affine, undoes, write_fsl  # noqa: E402

REAL = ROOT / "tests" / "data" / "realdwi"
SCANS = {"siemens": "siemens_prisma_xa30_ax", "uih": "uih_dti16_ax", "phantom": None}
CORRUPTIONS = {
    "+x+y+z": np.eye(3),
    "-x+y+z": np.diag([-1.0, 1.0, 1.0]),
    "+x-y+z": np.diag([1.0, -1.0, 1.0]),
    "+y+x+z": np.array([[0.0, 1, 0], [1, 0, 0], [0, 0, 1]]),
}
KINDS = {
    "clean": [],
    "noise05": [("noise", 0.05)],
    "noise10": [("noise", 0.10)],
    "noise15": [("noise", 0.15)],
    "dirs6": [("dirs", 6)],
    "dirs12": [("dirs", 12)],
    "slab12": [("slab", 12)],
    "noise10+dirs12": [("noise", 0.10), ("dirs", 12)],
    "noise05+dirs6": [("noise", 0.05), ("dirs", 6)],
    "noise10+slab12": [("noise", 0.10), ("slab", 12)],
    "dirs12+slab12": [("dirs", 12), ("slab", 12)],
    "noise15+dirs12+slab12": [("noise", 0.15), ("dirs", 12), ("slab", 12)],
    # No fibre structure at all: any decision is wrong.
    "isotropic+noise05": [("isotropic", None), ("noise", 0.05)],
    "isotropic+noise05+dirs6": [("isotropic", None), ("noise", 0.05), ("dirs", 6)],
}


def load(scan: str) -> Scan:
    if SCANS[scan] is None:
        ph = brain_phantom(shape=(40, 40, 20), n_dirs=40, n_b0=4, snr=30.0)
        return Scan(ph.data, ph.bvecs, ph.bvals, oblique_affine((2.0, 2.0, 2.0), negative=True), ph.brain)
    folder = REAL / SCANS[scan]
    image = nib.load(folder / "dwi.nii.gz")
    voxel_dirs = np.loadtxt(folder / "dwi.bvec").T @ fsl_voxel_map(image.affine).T
    mask = np.asarray(nib.load(folder / "mask.nii.gz").dataobj) > 0
    return Scan(np.asarray(image.dataobj, dtype=np.float32), voxel_dirs,
                np.loadtxt(folder / "dwi.bval"), image.affine, mask)


def degrade(scan: Scan, steps) -> Scan:
    for what, arg in steps:
        scan = {"noise": rician, "dirs": first_directions, "slab": central_slab,
                 "isotropic": isotropic}[what](scan, arg)
    return scan


def run_case(work: Path, scan: Scan, threads: int):
    """[(mask?, corruption, verdict, seconds)] for the four tables, without and with the mask."""
    dwi, mask = work / "dwi.nii", work / "mask.nii"
    nib.save(nib.Nifti1Image(scan.data, scan.affine), dwi)
    nib.save(nib.Nifti1Image(scan.mask.astype(np.uint8), scan.affine), mask)
    fsl = scan.voxel_dirs @ fsl_voxel_map(scan.affine).T
    rows = []
    for with_mask in (False, True):
        for label, t in CORRUPTIONS.items():
            write_fsl(work / "t.bvec", work / "t.bval", fsl @ t.T, scan.bvals)
            # Processor time (both workers) is steadier than wall time on a shared machine.
            start = time.process_time()
            text = _native.detect_flip(str(dwi), bvec=str(work / "t.bvec"), bval=str(work / "t.bval"),
                                       mask=str(mask) if with_mask else None, threads=threads)
            doc = json.loads(text)
            doc["verdict"]["volume_pattern"] = doc["volumes"]["pattern"]
            doc["verdict"]["volume_evidence"] = doc["volumes"]["evidence"]
            rows.append((with_mask, label, t, doc["verdict"], time.process_time() - start))
    return rows


def outcome(v, t, kind) -> str:
    if v["decision"] == "WARN":
        return "warn"
    if kind.startswith("isotropic"):
        return "WRONG"
    if undoes(np.eye(3), t):
        return "right" if v["decision"] == "PASS" else "WRONG"
    ok = v["decision"] == "FLAG" and undoes(v["recommended_transform"], t)
    return "right" if ok else "WRONG"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scans", nargs="*", default=list(SCANS))
    parser.add_argument("--kinds", nargs="*", default=list(KINDS))
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--json")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    table, dump = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.scans:
            base = load(name)
            for kind in args.kinds:
                rows = run_case(Path(tmp), degrade(base, KINDS[kind]), args.threads)
                for with_mask, label, t, v, seconds in rows:
                    res = outcome(v, t, kind)
                    extra = v.get("evidence", {}).get("uncertainty", {})
                    escalated = bool(extra.get("escalated"))
                    table.append((kind, name, with_mask, res, escalated, seconds))
                    dump.append({"scan": name, "kind": kind, "mask": with_mask, "corruption": label,
                                 "outcome": res, "seconds": seconds, "verdict": v})
                    if args.verbose or res != "right":
                        why = v["reasons"][2] if v["decision"] == "WARN" and len(v["reasons"]) > 2 else ""
                        print(f"{name:<8}{kind:<22}{'mask' if with_mask else 'auto':<5}{label:<8}"
                              f"{v['decision']:<5}{str(v['recommended_label'] or ''):<8}"
                              f"{100 * v['relative_margin']:6.1f}% {res:<6}{seconds:6.2f}s "
                              f"{'esc ' if escalated else ''}{why}", flush=True)
    if args.json:
        Path(args.json).write_text(json.dumps(dump, indent=1))

    print(f"\n{'degradation':<24}{'cases':>6}{'WARN auto':>10}{'WARN mask':>10}{'wrong':>6}"
          f"{'escalated':>10}{'clear cpu':>10}{'escal. cpu':>11}")
    for kind in args.kinds:
        rows = [r for r in table if r[0] == kind]
        if not rows:
            continue
        warn = [sum(1 for r in rows if r[3] == "warn" and r[2] == m) for m in (False, True)]
        wrong = sum(1 for r in rows if r[3] == "WRONG")
        esc = [r[5] for r in rows if r[4]]
        clear = [r[5] for r in rows if not r[4]]
        med = lambda xs: f"{statistics.median(xs):.2f}" if xs else "-"  # noqa: E731
        print(f"{kind:<24}{len(rows):>6}{warn[0]:>10}{warn[1]:>10}{wrong:>6}{len(esc):>10}"
              f"{med(clear):>10}{med(esc):>11}")
    warn = sum(1 for r in table if r[3] == "warn")
    wrong = sum(1 for r in table if r[3] == "WRONG")
    structured = [r for r in table if not r[0].startswith("isotropic")]
    print(f"{'all':<24}{len(table):>6}{warn:>10} WARN in all{wrong:>6} wrong")
    by_volumes = sum(1 for d in dump if d["outcome"] == "warn" and not d["kind"].startswith("isotropic")
                     and any("wins by at least" in r for r in d["verdict"]["reasons"]))
    print(f"with fibre structure: {sum(1 for r in structured if r[3] == 'warn')} WARN of {len(structured)}"
          f" ({by_volumes} of them only from the volume check)")


if __name__ == "__main__":
    main()
