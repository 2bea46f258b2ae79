#!/usr/bin/env python3
"""Whole-audit benchmark: audit_profiled against bare decompression of the same .nii.gz.

Decompressing the file is the floor any audit of it pays, so the audit is reported as a multiple
of `igzip -dc` (ISA-L, what the loader uses) and of `gzip -dc`, all timed in the same run and
interleaved so that a busy machine penalises them alike. Each audit runs in a fresh interpreter
that imports only the module, so its peak RSS is that of one audit.

1. The 96x96x60x70 int16 phantom (median of ORIVEX_BENCH_REPEAT runs, default 5).
   Targets: total <= 2x igzip -dc; fit and coherence each under the decompress stage; peak RSS
   <= float array + 30% + 100 MB.
2. A 144x168x111x288 int16 HCP-style series (about 1.5 GB raw; built here, never in the tests):
   time and peak RSS of the audit against igzip -dc and against nibabel+numpy loading the same
   file. ORIVEX_BENCH_HCP=0 skips it.
3. CLI commands, timed against igzip -dc on the phantom: CLI_COMMANDS below, or
   ORIVEX_BENCH_CLI="label=target=argv ..." with {dwi}, {bvec} and {bval} in argv (for example
   'detect-flip=2.5=orivex detect-flip --dwi {dwi} --bvec {bvec} --bval {bval}'; several commands
   separated by ';').

Nothing here asserts a timing.
"""

import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from detector_phantom import brain_phantom, sphere_directions, write_fsl  # noqa: E402

SHAPE = (96, 96, 60)
N_B0, N_DIRS = 6, 64
HCP_SHAPE = (144, 168, 111)
HCP_B0, HCP_DIRS, HCP_SHELLS = 18, 90, (1000.0, 2000.0, 3000.0)
STAGES = ["decompress", "convert", "fit", "coherence", "other", "total"]
MB = 1e6

# The command line as installed beside this interpreter (what a user types), else the module.
_ORIVEX = Path(sys.executable).with_name("orivex")
_CLI = [str(_ORIVEX)] if _ORIVEX.exists() else [sys.executable, "-m", "orivex"]

# (label, argv with {dwi} {bvec} {bval}, target as a multiple of igzip -dc): the default
# detect-flip decides by tracking.
CLI_COMMANDS: list[tuple[str, list[str], float]] = [
    ("detect-flip", _CLI + ["detect-flip", "--dwi", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}"], 2.5),
]

# Peak RSS of this process image: VmHWM (ru_maxrss would carry over the forking parent's peak).
PEAK = """
def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
"""

# Runs one audit_profiled in this fresh interpreter and prints its timings and peak RSS.
AUDIT_CHILD = PEAK + """
import json, sys, time
import _orivex
t0 = time.perf_counter()
_, t = _orivex.audit_profiled(sys.argv[1], bvec=sys.argv[2], bval=sys.argv[3], threads=int(sys.argv[4]))
t["wall"] = time.perf_counter() - t0
t["rss"] = peak()
print(json.dumps(t))
"""

NIBABEL_CHILD = PEAK + """
import json, sys, time
import nibabel as nib, numpy as np
t0 = time.perf_counter()
a = nib.load(sys.argv[1]).get_fdata(dtype=np.float32)
print(json.dumps({"wall": time.perf_counter() - t0, "rss": peak()}))
"""


def build_phantom(work: Path) -> tuple[Path, Path, Path]:
    phantom = brain_phantom(shape=SHAPE, n_dirs=N_DIRS, n_b0=N_B0, snr=20.0)
    # Scanners store DWI as int16; that also gives the file a realistic compressed size.
    data = np.clip(np.rint(phantom.data), 0, 32767).astype(np.int16)
    dwi = work / "dwi.nii.gz"
    nib.save(nib.Nifti1Image(data, np.diag([-2.0, 2.0, 2.0, 1.0])), dwi)
    write_fsl(work / "dwi.bvec", work / "dwi.bval", phantom.bvecs, phantom.bvals)
    return dwi, work / "dwi.bvec", work / "dwi.bval"


def build_hcp(work: Path) -> tuple[Path, Path, Path]:
    """An HCP-sized series written volume by volume (the float phantom would not fit in memory):
    an ellipsoidal brain whose fibres curl around two axes, three shells, Gaussian noise."""
    nx, ny, nz = HCP_SHAPE
    x, y, z = np.meshgrid(*(np.linspace(-1, 1, n, dtype=np.float32) for n in HCP_SHAPE), indexing="ij")
    brain = x * x / 0.8 + y * y / 0.9 + z * z / 0.8 < 1.0
    phi = np.arctan2(y, x)
    e = np.stack([-np.sin(phi), np.cos(phi), 0.4 * np.sin(3.0 * z)], axis=-1)
    e /= np.linalg.norm(e, axis=-1, keepdims=True)
    wm = brain & (np.hypot(x, y) > 0.3)
    s0 = np.where(brain, np.float32(800.0), np.float32(30.0))
    dirs = sphere_directions(HCP_DIRS)
    bvecs = np.vstack([np.zeros((HCP_B0, 3))] + [dirs] * len(HCP_SHELLS))
    bvals = np.concatenate([np.zeros(HCP_B0)] + [np.full(HCP_DIRS, b) for b in HCP_SHELLS])
    order = np.random.default_rng(5).permutation(len(bvals))  # b0s spread through the series
    bvecs, bvals = bvecs[order], bvals[order]
    rng = np.random.default_rng(9)

    header = nib.Nifti1Header()
    header.set_data_shape(HCP_SHAPE + (len(bvals),))
    header.set_data_dtype(np.int16)
    header.set_qform(np.diag([-1.25, 1.25, 1.25, 1.0]), code=1)
    header.set_sform(np.diag([-1.25, 1.25, 1.25, 1.0]), code=1)
    raw = work / "hcp.nii"
    with open(raw, "wb") as f:
        header.write_to(f)
        f.write(b"\0" * (int(header.get_data_offset()) - f.tell()))
        for g, b in zip(bvecs, bvals):
            proj = e @ g.astype(np.float32)
            adc = np.where(wm, 0.3e-3 + 1.4e-3 * proj * proj, np.float32(0.9e-3)).astype(np.float32)
            s = s0 * np.exp(-np.float32(b) * adc) + rng.normal(0.0, 20.0, s0.shape).astype(np.float32)
            f.write(np.clip(np.rint(np.abs(s)), 0, 32767).astype(np.int16).tobytes(order="F"))
    dwi = work / "hcp.nii.gz"
    with open(dwi, "wb") as out:
        subprocess.run(["igzip", "-1", "-c", str(raw)], stdout=out, check=True)
    raw.unlink()
    write_fsl(work / "hcp.bvec", work / "hcp.bval", bvecs, bvals)
    return dwi, work / "hcp.bvec", work / "hcp.bval"


def bare_time(tool: str, path: Path) -> float:
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        subprocess.run([tool, "-dc", str(path)], stdout=sink, check=True)
        return time.perf_counter() - start


def child(code: str, *args) -> dict:
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def cli_commands() -> list[tuple[str, list[str], float]]:
    given = os.environ.get("ORIVEX_BENCH_CLI", "").strip()
    if not given:
        return CLI_COMMANDS
    commands = []
    for item in given.split(";"):
        label, target, argv = item.split("=", 2)
        commands.append((label.strip(), shlex.split(argv), float(target)))
    return commands


def float_bytes(path: Path) -> int:
    return int(np.prod(nib.load(path).shape)) * 4


def phantom_section(work: Path, repeat: int, threads: int) -> None:
    dwi, bvec, bval = build_phantom(work)
    commands = cli_commands()
    print(f"audit: {'x'.join(map(str, SHAPE))}x{N_B0 + N_DIRS} int16 phantom, "
          f"{dwi.stat().st_size / MB:.1f} MB gzip, {threads} threads, median of {repeat}")
    runs, igzip, gzip, cli = [], [], [], {label: [] for label, _, _ in commands}
    for _ in range(repeat):
        runs.append(child(AUDIT_CHILD, dwi, bvec, bval, threads))
        igzip.append(bare_time("igzip", dwi))
        gzip.append(bare_time("gzip", dwi))
        for label, argv, _ in commands:
            filled = [a.format(dwi=dwi, bvec=bvec, bval=bval) for a in argv]
            start = time.perf_counter()
            subprocess.run(filled, check=True, capture_output=True)
            cli[label].append(time.perf_counter() - start)
    med = {k: statistics.median(r[k] for r in runs) for k in STAGES}
    bare_i, bare_g = statistics.median(igzip), statistics.median(gzip)
    total = med["total"]
    for key in STAGES:
        print(f"  {key:<11}{med[key]:8.3f} s {100 * med[key] / total:6.1f}%")
    print(f"  igzip -dc  {bare_i:8.3f} s")
    print(f"  gzip -dc   {bare_g:8.3f} s")
    print(f"audit / igzip -dc     = {total / bare_i:5.2f}  (target <= 2)")
    print(f"audit / gzip -dc      = {total / bare_g:5.2f}")
    print(f"fit / decompress      = {med['fit'] / med['decompress']:5.2f}  (target < 1)")
    print(f"coherence / decompress= {med['coherence'] / med['decompress']:5.2f}  (target < 1)")
    rss = max(r["rss"] for r in runs)
    arr = float_bytes(dwi)
    limit = arr * 1.3 + 100 * MB
    print(f"peak RSS {rss / MB:.0f} MB; float array {arr / MB:.0f} MB, "
          f"limit {limit / MB:.0f} MB (array + 30% + 100 MB)")
    for label, _, target in commands:
        t = statistics.median(cli[label])
        print(f"CLI {label}: {t:.3f} s = {t / bare_i:.2f} x igzip -dc  (target <= {target:g})")
    print(f"load average {os.getloadavg()[0]:.1f}")


def hcp_section(work: Path, threads: int) -> None:
    t0 = time.perf_counter()
    dwi, bvec, bval = build_hcp(work)
    print(f"\nHCP-style: {'x'.join(map(str, HCP_SHAPE))}x{HCP_B0 + HCP_DIRS * len(HCP_SHELLS)} "
          f"int16, {dwi.stat().st_size / MB:.0f} MB gzip (igzip -1), built in "
          f"{time.perf_counter() - t0:.0f} s; one run of each, {threads} threads")
    audit = child(AUDIT_CHILD, dwi, bvec, bval, threads)
    bare_i = bare_time("igzip", dwi)
    peer = child(NIBABEL_CHILD, dwi)
    arr = float_bytes(dwi)
    limit = arr * 1.3 + 100 * MB
    print("  " + ", ".join(f"{k} {audit[k]:.2f} s" for k in STAGES))
    print(f"  audit            {audit['total']:7.2f} s  peak RSS {audit['rss'] / MB:6.0f} MB")
    print(f"  igzip -dc        {bare_i:7.2f} s")
    print(f"  nibabel+numpy    {peer['wall']:7.2f} s  peak RSS {peer['rss'] / MB:6.0f} MB"
          "  (load + get_fdata(float32))")
    print(f"audit / igzip -dc = {audit['total'] / bare_i:.2f}; audit / nibabel load = "
          f"{audit['total'] / peer['wall']:.2f}; RSS {audit['rss'] / MB:.0f} MB against the limit "
          f"{limit / MB:.0f} MB (float array {arr / MB:.0f} MB + 30% + 100 MB)")


def main():
    repeat = int(os.environ.get("ORIVEX_BENCH_REPEAT", "5"))
    threads = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as tmp:
        phantom_section(Path(tmp), repeat, threads)
    if os.environ.get("ORIVEX_BENCH_HCP", "1") != "0":
        with tempfile.TemporaryDirectory() as tmp:
            hcp_section(Path(tmp), threads)


if __name__ == "__main__":
    main()
