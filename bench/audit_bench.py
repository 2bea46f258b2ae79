#!/usr/bin/env python3
"""Whole-audit benchmark: the audit against bare decompression of the same .nii.gz.

Decompressing the file is the floor any audit of it pays, so every audit and CLI figure is a
ratio against `igzip -dc` (ISA-L, what the loader uses) timed right after it in the same round,
under the same CPU set and load, so that a busy machine penalises both alike. The ratios are
given as a median with their range over the rounds. Each audit runs in a fresh interpreter that
imports only its module, so its peak RSS (VmHWM) is that of one audit.

Sections:
1. Two 96x96x60x70 int16 phantoms: the brain phantom of the tests, and one whose fibres curl
   about an oblique axis through the outer half of the brain (a white matter far larger than
   the phantom's bundles).
   On each: `_orivex.audit_profiled`, `orivex._native.audit` with profile (the default tracking
   verdict) and the CLI commands (CLI_COMMANDS, or ORIVEX_BENCH_CLI="label=target=argv;..." with
   {dwi}, {bvec} and {bval} in argv).
2. Scaling: the default audit and igzip -dc under `taskset` on 1 and on 2 cores, and with all
   cores free but one kept busy by a spinning process.
3. ORIVEX_BENCH_HCP=1: a 144x168x111x288 int16 HCP-sized series of the tests' brain anatomy
   (about 1.5 GB raw, built under a temporary folder, never kept): the audit's time and peak RSS
   against igzip -dc and against nibabel+numpy loading the same file, on all cores and on 1 and 2 cores, and the loader's
   inflate (its decompress stage) on 1 core against 2, beside igzip -dc's own ratio.
In sections 2 and 3, a line sets the loader's inflate in pieces against its inflate in order on
the same two workers and cores (bench/inflate_bench.cpp).

ORIVEX_BENCH_REPEAT sets the rounds (default 5). Nothing here asserts a timing.
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
from detector_phantom import S0_WM, brain_anatomy, brain_phantom, sphere_directions, write_fsl  # noqa: E402

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
    ("detect-flip", _CLI + ["detect-flip", "--dwi", "{dwi}", "--bvec", "{bvec}", "--bval", "{bval}"], 2.0),
]
# (label, module, target as a multiple of igzip -dc)
AUDITS = [("_orivex.audit", "_orivex", 1.5), ("_native.audit", "orivex._native", 1.5)]

# Peak RSS of this process image: VmHWM (ru_maxrss would carry over the forking parent's peak).
PEAK = """
def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
"""

# Runs one profiled audit of the given module in this fresh interpreter; prints its timings and
# peak RSS.
AUDIT_CHILD = PEAK + """
import importlib, json, sys, time
mod = importlib.import_module(sys.argv[5])
t0 = time.perf_counter()
threads = int(sys.argv[4]) or None
kw = dict(bvec=sys.argv[2], bval=sys.argv[3], threads=threads)
if hasattr(mod, "audit_profiled"):
    _, t = mod.audit_profiled(sys.argv[1], **kw)
else:
    _, t = mod.audit(sys.argv[1], profile=True, **kw)
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

SPIN = "while True: pass"


def save_int16(work: Path, name: str, data: np.ndarray, bvecs, bvals, zooms=(2.0, 2.0, 2.0)):
    data = np.clip(np.rint(data), 0, 32767).astype(np.int16)
    dwi = work / f"{name}.nii.gz"
    nib.save(nib.Nifti1Image(data, np.diag([-zooms[0], zooms[1], zooms[2], 1.0])), dwi)
    write_fsl(work / f"{name}.bvec", work / f"{name}.bval", bvecs, bvals)
    return dwi, work / f"{name}.bvec", work / f"{name}.bval"


def build_phantom(work: Path):
    # Scanners store DWI as int16; that also gives the file a realistic compressed size.
    phantom = brain_phantom(shape=SHAPE, n_dirs=N_DIRS, n_b0=N_B0, snr=20.0)
    return save_int16(work, "dwi", phantom.data, phantom.bvecs, phantom.bvals)


def curl_field(shape, inner=0.3, axis=(0.6, 0.5, 0.62)):
    """An ellipsoidal brain whose fibres curl around an axis oblique to all three (and wave along
    it) in its outer part; the white matter is everything farther than `inner` from the axis.
    The axis is oblique because a field curling about a coordinate axis lies almost in one plane,
    where the flip of the two axes in that plane only reverses the fibres: no method can tell
    such a table from its flip."""
    x, y, z = np.meshgrid(*(np.linspace(-1, 1, n, dtype=np.float32) for n in shape), indexing="ij")
    p = np.stack([x, y, z], axis=-1)
    brain = x * x / 0.8 + y * y / 0.9 + z * z / 0.8 < 1.0
    a = np.asarray(axis, np.float32) / np.float32(np.linalg.norm(axis))
    along = p @ a
    radial = p - along[..., None] * a
    e = np.cross(a, radial) + 0.4 * np.sin(3.0 * along)[..., None] * a
    e /= np.maximum(np.linalg.norm(e, axis=-1, keepdims=True), np.float32(1e-6))
    wm = brain & (np.linalg.norm(radial, axis=-1) > inner)
    s0 = np.where(brain, np.float32(800.0), np.float32(30.0))
    return brain, wm, e, s0


def curl_volume(wm, e, s0, g, b, rng):
    proj = e @ g.astype(np.float32)
    adc = np.where(wm, 0.3e-3 + 1.4e-3 * proj * proj, np.float32(0.9e-3)).astype(np.float32)
    s = s0 * np.exp(-np.float32(b) * adc) + rng.normal(0.0, 20.0, s0.shape).astype(np.float32)
    return np.clip(np.rint(np.abs(s)), 0, 32767).astype(np.int16)


def build_fibre_phantom(work: Path):
    brain, wm, e, s0 = curl_field(SHAPE, inner=0.55)  # just over half the brain
    dirs = sphere_directions(N_DIRS)
    bvecs = np.vstack([np.zeros((N_B0, 3)), dirs])
    bvals = np.concatenate([np.zeros(N_B0), np.full(N_DIRS, 1000.0)])
    rng = np.random.default_rng(7)
    data = np.stack([curl_volume(wm, e, s0, g, b, rng) for g, b in zip(bvecs, bvals)], axis=-1)
    share = wm.sum() / brain.sum()
    return save_int16(work, "fibre", data, bvecs, bvals), share


def build_hcp(work: Path):
    """An HCP-sized series written volume by volume (the float phantom would not fit in memory):
    the tests' brain anatomy (bundles that bend, cross and climb), three shells, Rician noise.
    Its white matter is the bundles', not the fibre phantom's curl: the bundles are what the
    tests measure the verdict on."""
    anatomy = brain_anatomy(HCP_SHAPE)
    dirs = sphere_directions(HCP_DIRS)
    bvecs = np.vstack([np.zeros((HCP_B0, 3))] + [dirs] * len(HCP_SHELLS))
    bvals = np.concatenate([np.zeros(HCP_B0)] + [np.full(HCP_DIRS, b) for b in HCP_SHELLS])
    order = np.random.default_rng(5).permutation(len(bvals))  # b0s spread through the series
    bvecs, bvals = bvecs[order], bvals[order]
    rng = np.random.default_rng(9)
    sigma = S0_WM / 20.0

    def volume(g, b):
        s = anatomy.signal(g[None, :], np.array([b]))[..., 0]
        noisy = np.hypot(s + rng.normal(0.0, sigma, s.shape), rng.normal(0.0, sigma, s.shape))
        return np.clip(np.rint(noisy), 0, 32767).astype(np.int16)

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
            f.write(volume(g, b).tobytes(order="F"))
    dwi = work / "hcp.nii.gz"
    with open(dwi, "wb") as out:
        subprocess.run(["igzip", "-1", "-c", str(raw)], stdout=out, check=True)
    raw.unlink()
    write_fsl(work / "hcp.bvec", work / "hcp.bval", bvecs, bvals)
    return dwi, work / "hcp.bvec", work / "hcp.bval"


def pinned(cpus):
    return ["taskset", "-c", cpus] if cpus else []


def bare_time(tool: str, path: Path, cpus=None) -> float:
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        subprocess.run(pinned(cpus) + [tool, "-dc", str(path)], stdout=sink, check=True)
        return time.perf_counter() - start


def child(code: str, *args, cpus=None) -> dict:
    out = subprocess.run(pinned(cpus) + [sys.executable, "-c", code, *map(str, args)], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def audit(module: str, files, cpus=None, threads=0) -> dict:
    return child(AUDIT_CHILD, *files, threads, module, cpus=cpus)


def timed(argv, cpus=None) -> float:
    start = time.perf_counter()
    r = subprocess.run(pinned(cpus) + argv, capture_output=True)
    elapsed = time.perf_counter() - start
    if r.returncode not in (0, 3, 4):  # PASS, WARN and FLAG all ran to the end
        raise RuntimeError(f"{argv}: exit {r.returncode}: {r.stderr.decode()}")
    return elapsed


def cli_commands() -> list[tuple[str, list[str], float]]:
    given = os.environ.get("ORIVEX_BENCH_CLI", "").strip()
    if not given:
        return CLI_COMMANDS
    commands = []
    for item in given.split(";"):
        label, target, argv = item.split("=", 2)
        commands.append((label.strip(), shlex.split(argv), float(target)))
    return commands


def spread(values, fmt="{:.2f}") -> str:
    """Median [min-max]."""
    return (fmt.format(statistics.median(values)) + " [" + fmt.format(min(values)) + "-" +
            fmt.format(max(values)) + "]")


def float_bytes(path: Path) -> int:
    return int(np.prod(nib.load(path).shape)) * 4


def cpu_sets():
    cpus = sorted(os.sched_getaffinity(0))
    return cpus, ",".join(map(str, cpus[:1])), ",".join(map(str, cpus[:2]))


def phantom_section(label: str, files, repeat: int) -> None:
    dwi = files[0]
    commands = cli_commands()
    print(f"\n{label}: {dwi.stat().st_size / MB:.1f} MB gzip, all cores, {repeat} rounds; "
          "ratios to igzip -dc of the same round, median [range]")
    bare, runs = [], {name: [] for name, _, _ in AUDITS}
    cli = {name: [] for name, _, _ in commands}
    for _ in range(repeat):
        for name, module, _ in AUDITS:
            bare.append(bare_time("igzip", dwi))
            runs[name].append((audit(module, files), bare[-1]))
        for name, argv, _ in commands:
            filled = [a.format(dwi=dwi, bvec=files[1], bval=files[2]) for a in argv]
            b = bare_time("igzip", dwi)
            cli[name].append((timed(filled), b))
    print(f"  igzip -dc  {spread(bare, '{:.3f}')} s; gzip -dc {bare_time('gzip', dwi):.3f} s")
    for name, _, target in AUDITS:
        r = runs[name]
        stages = "  ".join(f"{k} {statistics.median(x[0].get(k, 0.0) for x in r):.3f}"
                           for k in STAGES + ["tracking", "volumes"] if k in r[0][0])
        rss = max(x[0]["rss"] for x in r)
        print(f"  {name:<15} audit/igzip {spread([x[0]['total'] / x[1] for x in r])} "
              f"(target <= {target:g}); peak RSS {rss / MB:.0f} MB "
              f"(float array {float_bytes(dwi) / MB:.0f} MB)")
        print(f"  {'':<15} stages (s): {stages}")
    for name, _, target in commands:
        r = cli[name]
        print(f"  CLI {name:<11} /igzip {spread([t / b for t, b in r])} (target <= {target:g}); "
              f"{spread([t for t, _ in r], '{:.3f}')} s")


def scaling_section(files, repeat: int) -> None:
    cpus, one, two = cpu_sets()
    dwi = files[0]
    print(f"\nscaling on {dwi.name} ({len(cpus)} cores): the default audit "
          f"(orivex._native) against igzip -dc in the same condition, {repeat} rounds")
    conditions = [("taskset 1 core", one), ("taskset 2 cores", two)]
    for name, cpu in conditions:
        if name.endswith("2 cores") and len(cpus) < 2:
            continue
        r = [(audit("orivex._native", files, cpus=cpu), bare_time("igzip", dwi, cpus=cpu))
             for _ in range(repeat)]
        print(f"  {name:<22} audit {spread([x[0]['total'] for x in r], '{:.3f}')} s, "
              f"audit/igzip {spread([x[0]['total'] / x[1] for x in r])}")
    if len(cpus) >= 2:
        # One core kept busy by another process, as on a shared node: the spinner is pinned to
        # the last core, the audit may use them all.
        spinner = subprocess.Popen(pinned(str(cpus[-1])) + [sys.executable, "-c", SPIN])
        try:
            time.sleep(0.5)
            r = [(audit("orivex._native", files), bare_time("igzip", dwi)) for _ in range(repeat)]
        finally:
            spinner.kill()
            spinner.wait()
        stages = "  ".join(f"{k} {statistics.median(x[0][k] for x in r):.3f}"
                           for k in ("decompress", "fit", "coherence", "tracking"))
        print(f"  one core busy          audit {spread([x[0]['total'] for x in r], '{:.3f}')} s, "
              f"audit/igzip {spread([x[0]['total'] / x[1] for x in r])} (target <= 2.5)")
        print(f"  {'':<22} stages (s): {stages}")
        pieces_line(files, two, repeat)


def pieces_line(files, two, repeat: int) -> None:
    """The loader's inflate in pieces (taken from three workers on as many processors) against
    its inflate in order, both on two workers and two cores (bench/inflate_bench.cpp, built by
    `make bench`), beside igzip -dc: what the pieces cost and gain where there are no more cores."""
    tool = ROOT / "build" / "core" / "inflate_bench"
    if not tool.exists():
        print("  inflate in pieces: build/core/inflate_bench not built (make bench builds it)")
        return
    rounds = []
    for _ in range(max(1, repeat // 2)):
        out = subprocess.run(pinned(two) + [str(tool), str(files[0]), "2", "1"], check=True,
                             capture_output=True, text=True)
        rounds.append((json.loads(out.stdout), bare_time("igzip", files[0], cpus=two)))
    print(f"  inflate in order / in pieces (2 workers, 2 cores): read "
          f"{spread([r['in_order']['read'] / r['in_pieces']['read'] for r, _ in rounds])}, load "
          f"{spread([r['in_order']['load'] / r['in_pieces']['load'] for r, _ in rounds])}; "
          f"in pieces load/igzip {spread([r['in_pieces']['load'] / g for r, g in rounds])}")


def hcp_section(work: Path, repeat: int) -> None:
    t0 = time.perf_counter()
    files = build_hcp(work)
    dwi = files[0]
    cpus, one, two = cpu_sets()
    print(f"\nHCP-sized: {'x'.join(map(str, HCP_SHAPE))}x{HCP_B0 + HCP_DIRS * len(HCP_SHELLS)} "
          f"int16, {dwi.stat().st_size / MB:.0f} MB gzip (igzip -1), built in "
          f"{time.perf_counter() - t0:.0f} s; {repeat} rounds")
    arr = float_bytes(dwi)
    conditions = [("all cores", None)] + ([("taskset 2 cores", two)] if len(cpus) > 2 else []) + \
        [("taskset 1 core", one)]
    runs = {}
    for name, cpu in conditions:
        r = [(audit("orivex._native", files, cpus=cpu), bare_time("igzip", dwi, cpus=cpu))
             for _ in range(repeat if cpu is None else max(1, repeat // 2))]
        runs[name] = r
        stages = "  ".join(f"{k} {statistics.median(x[0][k] for x in r):.2f}" for k in
                           ("decompress", "convert", "fit", "coherence", "tracking", "total"))
        rss = max(x[0]["rss"] for x in r)
        print(f"  {name:<16} audit/igzip {spread([x[0]['total'] / x[1] for x in r])} "
              f"(target <= 2.0); igzip {spread([x[1] for x in r])} s; peak RSS {rss / MB:.0f} MB "
              f"(target <= {0.6 * arr / MB:.0f} MB, 0.6 x the float array of {arr / MB:.0f} MB)")
        print(f"  {'':<16} stages (s): {stages}")
    # The loader's inflate on one core against two, round by round, beside igzip -dc's own.
    two_name = "taskset 2 cores" if "taskset 2 cores" in runs else "all cores"
    if len(cpus) >= 2:
        pairs = list(zip(runs["taskset 1 core"], runs[two_name]))
        print(f"  inflate 1 core / 2 cores ({two_name}): loader "
              f"{spread([a[0]['decompress'] / b[0]['decompress'] for a, b in pairs])} "
              f"(target >= 1.6); igzip -dc {spread([a[1] / b[1] for a, b in pairs])}")
    pieces_line(files, two, repeat)
    peer = child(NIBABEL_CHILD, dwi)
    print(f"  nibabel+numpy load + get_fdata(float32): {peer['wall']:.2f} s, "
          f"peak RSS {peer['rss'] / MB:.0f} MB")


def main():
    repeat = int(os.environ.get("ORIVEX_BENCH_REPEAT", "5"))
    print(f"load average at start {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        phantom = build_phantom(work)
        fibre, share = build_fibre_phantom(work)
        phantom_section(f"brain phantom {'x'.join(map(str, SHAPE))}x{N_B0 + N_DIRS} int16", phantom, repeat)
        phantom_section(f"fibre phantom {'x'.join(map(str, SHAPE))}x{N_B0 + N_DIRS} int16 "
                        f"(white matter {100 * share:.0f}% of the brain)", fibre, repeat)
        scaling_section(fibre, repeat)
    if os.environ.get("ORIVEX_BENCH_HCP", "0") == "1":
        with tempfile.TemporaryDirectory(dir=os.environ.get("ORIVEX_BENCH_TMP")) as tmp:
            hcp_section(Path(tmp), max(1, repeat // 2))
    print(f"load average at end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
