#!/usr/bin/env python3
"""Writes the small synthetic DWI phantom shipped with the package (needs numpy and nibabel).

Three orthogonal rings of fibres (in the xy, xz and yz planes) inside an isotropic sphere, so
every axis flip or swap bends some ring's fitted directions away from its tangent.
"""

import os
import sys

import nibabel as nib
import numpy as np


def fibonacci_hemisphere(n):
    i = np.arange(n) + 0.5
    z = 1.0 - i / n
    phi = i * np.pi * (3.0 - np.sqrt(5.0))
    r = np.sqrt(1.0 - z * z)
    return np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)


def phantom(n=24, n_dirs=30, n_b0=3, bval=1000.0, seed=7):
    rng = np.random.default_rng(seed)
    c = (n - 1) / 2.0
    x, y, z = np.meshgrid(np.arange(n) - c, np.arange(n) - c, np.arange(n) - c, indexing="ij")
    radius, tube = n * 0.3, n * 0.1
    evec = np.zeros((n, n, n, 3))
    fibre = np.zeros((n, n, n), bool)
    for plane in ((0, 1, 2), (0, 2, 1), (1, 2, 0)):
        a, b, normal = ([x, y, z][k] for k in plane)
        rho = np.hypot(a, b)
        inside = (np.hypot(rho - radius, normal) < tube) & ~fibre
        t = np.zeros((n, n, n, 3))
        t[..., plane[0]] = -b / np.maximum(rho, 1e-9)
        t[..., plane[1]] = a / np.maximum(rho, 1e-9)
        evec[inside] = t[inside]
        fibre |= inside
    brain = np.sqrt(x * x + y * y + z * z) < n * 0.47
    dirs = fibonacci_hemisphere(n_dirs)
    bvecs = np.vstack([np.zeros((n_b0, 3)), dirs])
    bvals = np.concatenate([np.zeros(n_b0), np.full(n_dirs, bval)])
    l1, l2, d_iso = 1.7e-3, 0.3e-3, 0.8e-3
    # Signal: S0 exp(-b g^T D g) with D = l2 I + (l1 - l2) e e^T for fibres, d_iso I elsewhere.
    proj = np.einsum("xyzk,vk->xyzv", evec, bvecs)
    adc = np.where(fibre[..., None], l2 + (l1 - l2) * proj**2, d_iso)
    s0 = np.where(brain, 1000.0, 0.0)
    signal = s0[..., None] * np.exp(-bvals[None, None, None, :] * adc)
    signal += rng.normal(0.0, 10.0, signal.shape) * brain[..., None]
    signal = np.clip(signal, 0, None)
    return signal.astype(np.int16), bvecs, bvals, brain


def write_fsl(base, bvecs, bvals):
    with open(base + ".bvec", "w") as f:
        for axis in range(3):
            f.write(" ".join("%.6f" % v for v in bvecs[:, axis]) + "\n")
    with open(base + ".bval", "w") as f:
        f.write(" ".join("%g" % b for b in bvals) + "\n")


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    data, bvecs, bvals, brain = phantom()
    # Radiological storage (negative determinant, like most scanners' output): the FSL frame is
    # then the voxel frame itself, so the voxel-frame directions are the correct FSL bvec.
    affine = np.diag([-2.0, 2.0, 2.0, 1.0])
    affine[:3, 3] = (23.0, -23.0, -23.0)
    img = nib.Nifti1Image(data, affine)
    img.header.set_xyzt_units("mm", "sec")
    nib.save(img, os.path.join(out_dir, "dwi.nii.gz"))
    nib.save(nib.Nifti1Image(brain.astype(np.uint8), affine), os.path.join(out_dir, "mask.nii.gz"))
    write_fsl(os.path.join(out_dir, "dwi"), bvecs, bvals)
    # The same table with its x axis reversed, as the demo's broken input.
    flipped = bvecs.copy()
    flipped[:, 0] *= -1.0
    write_fsl(os.path.join(out_dir, "dwi_xflip"), flipped, bvals)
    os.remove(os.path.join(out_dir, "dwi_xflip.bval"))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "python/orivex/data/phantom")
