#!/usr/bin/env python3
"""The tracking verdict beside MRtrix3's dwigradcheck on degraded copies, x-flipped.

dwigradcheck (MRtrix3, Debian package mrtrix3) always names the axes whose tracks run longest;
orivex decides only beyond the noise. For each copy (the kinds of bench/degraded_sweep.py, and
"bright15": Rician noise at 0.15 x the 90th percentile of the b0 in the mask) this prints the
peer's best axes, whether they undo the flip, its lead over the next distinct axes, and
orivex's verdict. About a minute per case for the peer, on one thread.
Usage: degraded_peer.py [scan:kind ...]   (default: the cases below)
"""

import json
import subprocess
import sys
import tempfile
from dataclasses import replace
from pathlib import Path

import nibabel as nib
import numpy as np

from orivex import _native

sys.path.insert(0, str(Path(__file__).resolve().parent))
from degraded_sweep import CORRUPTIONS, KINDS, degrade, load  # noqa: E402
from degrade import b0_volumes  # noqa: E402
from detector_phantom import fsl_voxel_map, write_fsl  # noqa: E402

CASES = ["siemens:noise15", "siemens:noise10+dirs12", "siemens:noise05+dirs6",
         "uih:noise15+dirs12+slab12", "uih:bright15"]


def copy(scan_name: str, kind: str):
    base = load(scan_name)
    if kind != "bright15":
        return degrade(base, KINDS[kind])
    b0 = base.data[..., b0_volumes(base)].mean(axis=-1)
    sigma = 0.15 * float(np.percentile(b0[base.mask], 90))
    rng = np.random.default_rng(7)
    noisy = np.hypot(base.data + rng.normal(0, sigma, base.data.shape), rng.normal(0, sigma, base.data.shape))
    return replace(base, data=noisy.astype(np.float32))


def peer_rows(text: str):
    """(mean length, flipped axis or None, permutation) per line of dwigradcheck's table."""
    rows = []
    for line in text.splitlines()[1:]:
        parts = line.split(None, 2)
        if len(parts) == 3:
            perm = tuple(int(x) for x in parts[2].split(")")[0].strip("( ").split(","))
            rows.append((float(parts[0]), None if parts[1] == "none" else int(parts[1]), perm))
    return rows


def main():
    for case in sys.argv[1:] or CASES:
        scan_name, kind = case.split(":")
        scan = copy(scan_name, kind)
        with tempfile.TemporaryDirectory() as tmp:
            t = Path(tmp)
            nib.save(nib.Nifti1Image(scan.data, scan.affine), t / "dwi.nii")
            fsl = scan.voxel_dirs @ fsl_voxel_map(scan.affine).T
            write_fsl(t / "x.bvec", t / "x.bval", fsl @ CORRUPTIONS["-x+y+z"].T, scan.bvals)
            run = subprocess.run(["dwigradcheck", "dwi.nii", "-fslgrad", "x.bvec", "x.bval", "-nthreads", "1",
                                  "-quiet"], capture_output=True, text=True, cwd=t, check=True)
            rows = peer_rows(run.stderr)  # the table goes to stderr
            best = rows[0]
            right = best[1] == 0 and best[2] == (0, 1, 2)
            other = next(r for r in rows if (r[1], r[2]) != (best[1], best[2]))
            v = json.loads(_native.detect_flip(str(t / "dwi.nii"), bvec=str(t / "x.bvec"),
                                               bval=str(t / "x.bval")))["verdict"]
        print(f"{case:<28} peer: flip {best[1]} perm {best[2]} {'right' if right else 'WRONG'}, "
              f"{100 * (best[0] - other[0]) / best[0]:.1f}% ahead ({best[0]:.1f} mm) | orivex: {v['decision']} "
              f"{v['recommended_label'] or ''} z {v['evidence']['uncertainty']['z']:.1f}", flush=True)


if __name__ == "__main__":
    main()
