"""Soak: many sequential calls with a dedicated pool, watching threads and resident memory.

    PYTHONPATH=tests/python .venv/bin/python bench/soak.py [calls] [function]

function is detect (default), audit or inspect. Prints the thread count and RSS at the start
(after a warm-up), every tenth of the run and at the end, then a one-line verdict.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))

import _orivex  # noqa: E402
from conftest import make_phantom  # noqa: E402


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main() -> None:
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    kind = sys.argv[2] if len(sys.argv) > 2 else "detect"
    with tempfile.TemporaryDirectory() as tmp:
        p = make_phantom(Path(tmp), shape=(8, 8, 8), n_dirs=20, n_b0=2, flip_axis=0)
        call = {
            "detect": lambda: _orivex.detect_flip(p["dwi"], bvec=p["bvec"], bval=p["bval"],
                                                  threads=4),
            "audit": lambda: _orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=p["dwi"],
                                           mask=p["mask"], threads=4),
            "inspect": lambda: _orivex.inspect(bvec=p["bvec"], bval=p["bval"], threads=4),
        }[kind]
        print(f"before any call: threads {threads()}, RSS {rss_kib()} KiB")
        for _ in range(20):
            call()
        t0, r0 = threads(), rss_kib()
        print(f"after 20 warm-up calls: threads {t0}, RSS {r0} KiB")
        peak = t0
        start = time.monotonic()
        for i in range(1, calls + 1):
            call()
            peak = max(peak, threads())
            if i % max(1, calls // 10) == 0:
                print(f"  {i:6d} calls: threads {threads():4d}, RSS {rss_kib()} KiB")
        elapsed = time.monotonic() - start
        time.sleep(1.0)
        t1, r1 = threads(), rss_kib()
        print(f"{calls} {kind} calls with threads=4 in {elapsed:.1f} s "
              f"({1000 * elapsed / calls:.2f} ms/call): threads {t0} -> {t1} (peak {peak}), "
              f"RSS {r0} -> {r1} KiB ({r1 - r0:+d} KiB)")


if __name__ == "__main__":
    main()
