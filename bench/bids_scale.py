#!/usr/bin/env python3
"""The BIDS App at scale: a synthetic dataset of many small runs (hard links of a few phantoms).

Measures, each in a fresh process, wall time and peak RSS of:
- the module's sequential `audit_bids` over the same dataset (the peer, same run);
- the verdict audits alone: `orivex._native.audit` over every run in one loop, nothing written
  (the floor of the default tracking evidence, which the peer does not compute);
- `orivex bids ... participant` serially (tracking, and coherence like the peer), with --jobs 2
  against serial, and on a Dask LocalCluster of 2 workers;
- the group level over the reports;
- the participant and group levels over growing prefixes of the dataset (peak memory by size).
The timed rows run ORIVEX_BENCH_REPEAT times (default 3), interleaved, and print the median and
the range. Nothing here asserts a timing. Usage: bench/bids_scale.py [N_RUNS] (default 3000).
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
from conftest import make_phantom  # noqa: E402

ORIVEX = [sys.executable, "-m", "orivex"]
REPEAT = int(os.environ.get("ORIVEX_BENCH_REPEAT", "3"))
FLOOR = ("import glob, os, sys; from orivex import _native\n"
         "for d in sorted(glob.glob(os.path.join(sys.argv[1], 'sub-*', 'dwi', '*_dwi.nii.gz'))):\n"
         "    b = d[:-7]; _native.audit(dwi=d, bvec=b + '.bvec', bval=b + '.bval', keep_pool=True)")
MEASURE = ("import resource, subprocess, sys, time; t = time.perf_counter(); "
           "rc = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode; "
           "print(time.perf_counter() - t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, rc)")


def measure(argv):
    """(seconds, peak RSS of the largest process in MiB) of a command run in a fresh process."""
    out = subprocess.run([sys.executable, "-c", MEASURE, *argv], capture_output=True, text=True,
                         check=True).stdout.split()
    if out[2] not in ("0", "3"):
        raise SystemExit(f"{' '.join(argv)} exited {out[2]}")
    return float(out[0]), int(out[1]) / 1024


def build(root, n, sources):
    """n runs, sub-00001 ..., every tenth with the x-flipped table, all hard links."""
    for i in range(1, n + 1):
        sub = f"sub-{i:05d}"
        folder = os.path.join(root, sub, "dwi")
        os.makedirs(folder, exist_ok=True)
        src = sources["flipped" if i % 10 == 0 else "correct"]
        for key, ext in (("dwi", ".nii.gz"), ("bvec", ".bvec"), ("bval", ".bval")):
            dst = os.path.join(folder, f"{sub}_dwi{ext}")
            if not os.path.exists(dst):
                os.link(src[key], dst)
    with open(os.path.join(root, "dataset_description.json"), "w") as f:
        json.dump({"Name": "bench", "BIDSVersion": "1.9.0"}, f)
    with open(os.path.join(root, "dwi.json"), "w") as f:
        json.dump({"Manufacturer": "Bench", "PhaseEncodingDirection": "j-"}, f)


def median(xs):
    xs = sorted(xs)
    mid = len(xs) // 2
    return xs[mid] if len(xs) % 2 else (xs[mid - 1] + xs[mid]) / 2


def row(name, seconds, rss, n, peer=None, label="peer"):
    ratio = "" if peer is None else f"  {seconds / peer:5.2f}x {label}"
    print(f"{name:<34} {seconds:8.2f} s  {1000 * seconds / n:7.2f} ms/run  {rss:7.1f} MiB{ratio}",
          flush=True)


def repeated(cases):
    """{name: ([seconds], [MiB])}: every case once per round, REPEAT rounds, so that a noisy
    spell on the shared machine touches all cases alike. A case is (name, argv, setup)."""
    out = {name: ([], []) for name, _, _ in cases}
    for _ in range(REPEAT):
        for name, argv, setup in cases:
            if setup:
                setup()
            t, rss = measure(argv)
            out[name][0].append(t)
            out[name][1].append(rss)
    return out


def spread(xs):
    return f"median {median(xs):.2f} s, range {min(xs):.2f}-{max(xs):.2f} s over {len(xs)}"


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    work = tempfile.mkdtemp(prefix="orivex-bids-bench-")
    try:
        from pathlib import Path

        sources = {"correct": make_phantom(Path(work) / "src", name="a"),
                   "flipped": make_phantom(Path(work) / "src", name="b", flip_axis=0)}
        root = os.path.join(work, "study")
        build(root, n, sources)
        print(f"{n} runs of an 8x8x8 phantom, 33 volumes; {os.cpu_count()} cores\n", flush=True)

        out = os.path.join(work, "serial")
        fresh = {k: os.path.join(work, k) for k in ("serial", "coherence", "jobs")}

        def clean(key):
            return lambda: shutil.rmtree(fresh[key], ignore_errors=True)

        def clean_peer():
            shutil.rmtree(os.path.join(root, "derivatives"), ignore_errors=True)

        part = ["participant", "--no-qc"]
        times = repeated([
            ("peer", [sys.executable, "-c", "import _orivex, sys; _orivex.audit_bids(sys.argv[1])",
                      root], clean_peer),
            ("floor", [sys.executable, "-c", FLOOR, root], None),
            ("serial", ORIVEX + ["bids", root, fresh["serial"]] + part, clean("serial")),
            ("coherence", ORIVEX + ["bids", root, fresh["coherence"]] + part
             + ["--evidence", "coherence"], clean("coherence")),
            ("jobs", ORIVEX + ["bids", root, fresh["jobs"]] + part + ["--jobs", "2"], clean("jobs")),
        ])
        clean_peer()
        med = {k: median(v[0]) for k, v in times.items()}
        rss = {k: max(v[1]) for k, v in times.items()}
        row("peer: _orivex.audit_bids", med["peer"], rss["peer"], n)
        row("verdict audits alone (no writes)", med["floor"], rss["floor"], n, med["peer"])
        row("participant, serial", med["serial"], rss["serial"], n, med["peer"])
        row("  against the verdict audits alone", med["serial"], rss["serial"], n, med["floor"],
            "audits")
        row("participant, serial, coherence", med["coherence"], rss["coherence"], n, med["peer"])
        row("participant, --jobs 2", med["jobs"], rss["jobs"], n, med["peer"])
        print(f"{'  serial / --jobs 2':<34} {med['serial'] / med['jobs']:8.2f}x faster with two jobs")
        print(f"\nspread (medians above; peak RSS is the largest of the {REPEAT} runs):")
        for name, (ts, _) in times.items():
            print(f"  {name:<10} {spread(ts)}")
        print(flush=True)
        t, rss1 = measure(ORIVEX + ["bids", root, out, "participant", "--no-qc"])
        row("participant, all up to date", t, rss1, n, med["peer"])
        t, rss = measure([sys.executable, os.path.join(HERE, "bids_dask_client.py"), root,
                          os.path.join(work, "dask")])
        row("participant, Dask LocalCluster(2)", t, rss, n, med["peer"])
        t, rss = measure(ORIVEX + ["bids", root, out, "group"])
        row("group level", t, rss, n)

        figures = min(n, 50)
        t, rss = measure(ORIVEX + ["bids", root, os.path.join(work, "qc"), "participant",
                                   "--participant-label"] + [f"{i:05d}" for i in range(1, figures + 1)])
        row(f"participant with QC figures ({figures})", t, rss, figures)

        print("\npeak memory by dataset size (serial participant level, then group level):")
        for size in sorted({max(1, n // 6), n // 2, n}):
            part = os.path.join(work, f"part{size}")
            os.makedirs(part)
            for i in range(1, size + 1):
                os.symlink(os.path.join(root, f"sub-{i:05d}"), os.path.join(part, f"sub-{i:05d}"))
            for name in ("dataset_description.json", "dwi.json"):
                shutil.copy(os.path.join(root, name), part)
            po = os.path.join(work, f"out{size}")
            tp, rp = measure(ORIVEX + ["bids", part, po, "participant", "--no-qc"])
            tg, rg = measure(ORIVEX + ["bids", part, po, "group"])
            print(f"  {size:6d} runs: participant {rp:6.1f} MiB ({tp:6.1f} s), "
                  f"group {rg:6.1f} MiB ({tg:5.2f} s)", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
