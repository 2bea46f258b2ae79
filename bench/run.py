#!/usr/bin/env python3
"""Benchmarks of the hot paths, each reported as a ratio against a peer measured in the same run.

- volume loading: orivex's DWI read+convert ("decompress"+"convert" of audit_profiled) against
  nibabel's load + get_fdata(dtype=float32)
- tensor fit: orivex's "fit" stage against dipy's TensorModel fit over the same voxels
- coherence scoring: orivex's "coherence" stage (48 candidates, 24 measured) against a vectorised
  numpy implementation of one candidate's coherence, times 24
- the tracking verdict on the real sets: the tracking stage, and `orivex detect-flip` against
  MRtrix3 `dwigradcheck` (verdict_bench.py)

Timings are medians of several runs; nothing here asserts a timing.
"""

import os
import statistics
import sys
import tempfile
import time

import numpy as np
import nibabel as nib

import _orivex

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import make_phantom  # noqa: E402


def median_time(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def build_dataset(work, n):
    data, bvecs, bvals, brain = make_phantom.phantom(n=n, n_dirs=30, n_b0=3)
    data = data.astype(np.float32)
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    dwi = os.path.join(work, "dwi.nii.gz")
    nib.save(nib.Nifti1Image(data, affine), dwi)
    base = os.path.join(work, "dwi")
    make_phantom.write_fsl(base, bvecs, bvals)
    return dwi, base + ".bvec", base + ".bval", bvecs, bvals


def dipy_fit(dwi, bvecs, bvals):
    from dipy.core.gradients import gradient_table
    from dipy.reconst.dti import TensorModel

    data = nib.load(dwi).get_fdata(dtype=np.float32)
    gtab = gradient_table(bvals, bvecs=bvecs)
    mask = data[..., 0] >= 1.0
    t0 = time.perf_counter()
    TensorModel(gtab, fit_method="OLS").fit(data, mask=mask)
    return time.perf_counter() - t0


def numpy_coherence(v1, mask, step):
    """One candidate's coherence with the same sampling rule (trilinear, sign-aligned)."""
    idx = np.argwhere(mask)
    e = v1[mask]
    shape = np.array(mask.shape)
    total = 0.0
    for sign in (1.0, -1.0):
        p = idx + sign * step * e
        p0 = np.floor(p).astype(int)
        f = p - p0
        acc = np.zeros_like(e)
        wsum = np.zeros(len(e))
        for dx in (0, 1):
            for dy in (0, 1):
                for dz in (0, 1):
                    c = p0 + [dx, dy, dz]
                    w = (np.where(dx, f[:, 0], 1 - f[:, 0]) * np.where(dy, f[:, 1], 1 - f[:, 1])
                         * np.where(dz, f[:, 2], 1 - f[:, 2]))
                    ok = (w > 0) & np.all((c >= 0) & (c < shape), axis=1)
                    cc = np.clip(c, 0, shape - 1)
                    ok &= mask[cc[:, 0], cc[:, 1], cc[:, 2]]
                    v = v1[cc[:, 0], cc[:, 1], cc[:, 2]]
                    s = np.where(np.sum(v * e, axis=1) < 0, -1.0, 1.0)
                    acc += (ok * s * w)[:, None] * v
                    wsum += ok * w
        m = acc / np.maximum(wsum, 1e-30)[:, None]
        nm = np.linalg.norm(m, axis=1)
        good = (wsum > 0) & (nm >= 1e-9)
        total += np.sum(np.abs(np.sum(m[good] / nm[good, None] * e[good], axis=1)))
    return total / (2 * len(e))


def inspect_bench(work):
    """inspect of a 300-direction, 3-shell table and of one 1,000-direction shell (quadratic parts)."""
    rng = np.random.default_rng(1)
    for label, bvals in (("300 directions x 3 shells", np.repeat([1000.0, 2000.0, 3000.0], 300)),
                         ("1000-direction shell", np.full(1000, 1000.0))):
        d = rng.normal(size=(len(bvals), 3))
        d /= np.linalg.norm(d, axis=1, keepdims=True)
        bvec = os.path.join(work, "t.bvec")
        bval = os.path.join(work, "t.bval")
        make_phantom.write_fsl(os.path.join(work, "t"), d, bvals)
        t = median_time(lambda: _orivex.inspect(bvec=bvec, bval=bval), repeat=3)
        print(f"inspect, {label}: {t:.3f} s")


def main():
    n = int(os.environ.get("ORIVEX_BENCH_N", "64"))
    threads = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as work:
        dwi, bvec, bval, bvecs, bvals = build_dataset(work, n)
        print(f"dataset: {n}^3 voxels x {len(bvals)} volumes, {threads} threads")

        runs = [_orivex.audit_profiled(dwi, bvec=bvec, bval=bval, threads=threads)[1] for _ in range(5)]
        med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}

        load_peer = median_time(lambda: nib.load(dwi).get_fdata(dtype=np.float32))
        load_ours = med["decompress"] + med["convert"]
        fit_peer = statistics.median(dipy_fit(dwi, bvecs, bvals) for _ in range(3))

        data = nib.load(dwi).get_fdata(dtype=np.float32)
        from dipy.core.gradients import gradient_table
        from dipy.reconst.dti import TensorModel

        fit = TensorModel(gradient_table(bvals, bvecs=bvecs)).fit(data, mask=data[..., 0] >= 1)
        v1 = np.nan_to_num(fit.evecs[..., 0])
        wm = (np.nan_to_num(fit.fa) >= 0.2) & (data[..., 0] >= 1)
        coh_peer = 24 * median_time(lambda: numpy_coherence(v1, wm, 2.0), repeat=3)

        rows = [
            ("volume loading", load_ours, load_peer, "nibabel load+get_fdata(float32)"),
            ("tensor fit", med["fit"], fit_peer, "dipy TensorModel OLS fit"),
            ("coherence (48 candidates)", med["coherence"], coh_peer, "numpy coherence x 24"),
        ]
        print(f"{'stage':<28}{'orivex s':>10}{'peer s':>10}{'speed-up':>10}  peer")
        for name, ours, peer, what in rows:
            print(f"{name:<28}{ours:>10.3f}{peer:>10.3f}{peer / max(ours, 1e-9):>9.1f}x  {what}")
        print(f"whole audit total: {med['total']:.3f} s")
        inspect_bench(work)

    # The whole audit against bare decompression of the same file (a larger phantom).
    import audit_bench

    print()
    audit_bench.main()

    import verdict_bench

    print()
    verdict_bench.main()


if __name__ == "__main__":
    main()
