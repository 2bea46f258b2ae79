"""Calls from many Python threads, long runs of dedicated pools, and calls after os.fork()."""

import json
import math
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import _orivex
from conftest import make_phantom


def without_timestamp(text):
    report = json.loads(text)
    report.pop("timestamp", None)
    return report


def same(a, b, path="report"):
    """Equal reports, except that floats may differ in their last bits: a parallel fit or
    coherence sum rounds differently from one run to the next when its work is split over
    several workers, even for sequential calls with the same pool."""
    if isinstance(a, float) and isinstance(b, float):
        assert math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-15), (path, a, b)
    elif isinstance(a, dict) and isinstance(b, dict):
        assert list(a) == list(b), path
        for k in a:
            same(a[k], b[k], f"{path}.{k}")
    elif isinstance(a, list) and isinstance(b, list):
        assert len(a) == len(b), path
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{path}[{i}]")
    else:
        assert a == b, (path, a, b)


# ASan holds freed memory in quarantine, so RSS only measures leaks in a plain build.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def thread_count():
    return len(os.listdir("/proc/self/task"))


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS in /proc/self/status")


def settled_thread_count(target, timeout=5.0):
    """A dedicated pool's workers exit after the call returns, not before; wait for them."""
    deadline = time.monotonic() + timeout
    while thread_count() > target and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_count()


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    base = tmp_path_factory.mktemp("conc")
    return {
        "pass": make_phantom(base / "pass", shape=(6, 6, 6), n_dirs=15, n_b0=2),
        "flag": make_phantom(base / "flag", shape=(6, 6, 6), n_dirs=15, n_b0=2, flip_axis=1),
    }


def calls(small):
    """(name, thunk) pairs covering the table-only and image paths with every pool choice."""
    out = []
    for key, p in small.items():
        for threads in (None, 1, 2, 3):
            out.append((f"inspect-{key}-{threads}",
                        lambda p=p, t=threads: _orivex.inspect(bvec=p["bvec"], bval=p["bval"],
                                                               threads=t)))
            out.append((f"audit-{key}-{threads}",
                        lambda p=p, t=threads: _orivex.audit(bvec=p["bvec"], bval=p["bval"],
                                                             dwi=p["dwi"], mask=p["mask"],
                                                             threads=t)))
            out.append((f"detect-{key}-{threads}",
                        lambda p=p, t=threads: _orivex.detect_flip(p["dwi"], grad=p["grad"],
                                                                   threads=t)))
    return out


def test_eight_threads_at_once_match_sequential_reports(small):
    # Each call is compared with the sequential call that used the same pool choice.
    work = calls(small)
    expected = {name: without_timestamp(thunk()) for name, thunk in work}
    results, errors = {}, []
    barrier = threading.Barrier(8)

    def worker(k):
        try:
            barrier.wait()
            for i in range(len(work)):
                name, thunk = work[(i + 5 * k) % len(work)]
                results[(k, name)] = without_timestamp(thunk())
        except BaseException as exc:  # noqa: BLE001 - reported below with its thread
            errors.append((k, repr(exc)))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert len(results) == 8 * len(work)
    for (k, name), report in results.items():
        same(report, expected[name], f"{name} in thread {k}")


def test_failures_from_many_threads_stay_with_their_call(small, tmp_path):
    p = small["pass"]
    missing = str(tmp_path / "missing.nii.gz")
    seen, barrier = [], threading.Barrier(8)

    def worker(k):
        barrier.wait()
        for _ in range(20):
            try:
                if k % 2:
                    _orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=missing, threads=2)
                    seen.append("no error")
                else:
                    _orivex.inspect(bvec=p["bvec"], bval=p["bval"], threads=0)
                    seen.append("no error")
            except ValueError as exc:
                seen.append(str(exc).split(":")[0] if k % 2 else str(exc))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert sorted(set(seen)) == ["NIfTI error", "threads must be a positive integer"]
    assert len(seen) == 160


def test_thousand_dedicated_pools_leak_no_threads_or_memory(small):
    p = small["pass"]
    # Warm-up: the allocator's arenas reach their steady size first.
    for _ in range(50):
        _orivex.inspect(bvec=p["bvec"], bval=p["bval"], threads=4)
    baseline_threads = settled_thread_count(0, timeout=0.5)
    baseline_rss = rss_kib()
    start = time.monotonic()
    for _ in range(1000):
        _orivex.inspect(bvec=p["bvec"], bval=p["bval"], threads=4)
    elapsed = time.monotonic() - start
    final_threads = settled_thread_count(baseline_threads)
    growth = rss_kib() - baseline_rss
    print(f"1000 inspect calls with threads=4: {elapsed:.1f} s, threads {baseline_threads} -> "
          f"{final_threads}, RSS growth {growth} KiB")
    assert final_threads <= baseline_threads
    # A pool or a report kept per call would cost far more than this over 1000 calls.
    assert UNDER_ASAN or growth < 8 * 1024


def test_detect_soak_with_dedicated_pools_keeps_memory_flat(small):
    p = small["flag"]
    call = lambda: _orivex.detect_flip(p["dwi"], bvec=p["bvec"], bval=p["bval"], threads=4)  # noqa: E731
    expected = without_timestamp(call())
    for _ in range(100):
        call()
    baseline_rss = rss_kib()
    for _ in range(200):
        report = call()
    same(without_timestamp(report), expected)
    # Loaded volumes, fields and reports are dropped per call; what may remain is the stacks
    # of idle pool workers (see the next test).
    assert UNDER_ASAN or rss_kib() - baseline_rss < 8 * 1024


def run_python(code, timeout):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(x for x in sys.path if x)),
        capture_output=True, text=True, timeout=timeout)


def test_dedicated_pool_workers_exit_after_the_call(small):
    p = small["flag"]
    result = run_python(f"""
        import os, threading, time, _orivex
        from orivex import _native
        args = dict(bvec={p['bvec']!r}, bval={p['bval']!r}, mask={p['mask']!r})
        for _ in range(100):
            _orivex.detect_flip({p['dwi']!r}, **args, threads=4)
        # A thread's kept pool ends with the thread.
        kept = threading.Thread(target=lambda: [_native.audit({p['dwi']!r}, **args, seeds=50,
                                                              threads=3, keep_pool=True)
                                                for _ in range(3)])
        kept.start()
        kept.join()
        time.sleep(2.0)
        print(len(os.listdir("/proc/self/task")))
    """, timeout=120)
    assert result.returncode == 0, result.stderr
    # Only the interpreter's thread may remain: no call used the default pool; nothing on stderr
    # (the pool library warns there when a pool gets fewer workers than it asked for).
    assert (int(result.stdout), result.stderr) == (1, "")


def test_pools_made_and_dropped_while_other_threads_start_the_default_pool(small):
    # Every round's threads are new, so the default pool's scheduler starts again while the
    # other half make and drop their pools; run in a child, so that a deadlock fails the test.
    p = small["pass"]
    result = run_python(f"""
        import os, threading, _orivex
        os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})  # one core: the most interleaving
        def calls(k):
            for _ in range(4):
                _orivex.detect_flip({p['dwi']!r}, bvec={p['bvec']!r}, bval={p['bval']!r},
                                    threads=None if k % 2 else k % 3 + 1)
        for _ in range(40):
            threads = [threading.Thread(target=calls, args=(k,)) for k in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        print("done")
    """, timeout=240)
    assert (result.returncode, result.stdout, result.stderr) == (0, "done\n", "")


def run_in_child(body, timeout=60.0):
    """Forks; the child runs body() and exits 0 on success, 1 on a clean exception. Returns the
    exit status, killing the child if it outlives the timeout (a hang)."""
    with warnings.catch_warnings():
        # The interpreter warns that forking a process with threads (the pool's) may deadlock;
        # whether it does is exactly what is tested.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        except Exception:  # noqa: BLE001 - a clean failure is an allowed outcome
            code = 1
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the call in the forked child hung")


@pytest.mark.parametrize("threads", [None, 2])
def test_call_after_fork_works_or_fails_cleanly(small, threads):
    p = small["flag"]
    # The parent has used the default pool and dedicated pools before forking.
    expected = without_timestamp(_orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=p["dwi"]))
    _orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=p["dwi"], threads=2)

    def body():
        report = _orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=p["dwi"], threads=threads)
        if threads is None:
            same(without_timestamp(report), expected)
        if without_timestamp(report)["status"] != expected["status"]:
            raise AssertionError("status differs in the child")

    status = run_in_child(body)
    assert os.WIFEXITED(status), f"child ended by signal {os.WTERMSIG(status)}"
    assert os.WEXITSTATUS(status) in (0, 1)
    # The parent's pools are unaffected by the child.
    after = _orivex.audit(bvec=p["bvec"], bval=p["bval"], dwi=p["dwi"])
    same(without_timestamp(after), expected)


@pytest.mark.parametrize("function", ["_orivex.detect_flip", "orivex._native.detect_flip"])
def test_image_calls_let_other_python_threads_run(function):
    """The load and the analyses run without the GIL: another thread keeps running meanwhile
    (while a call holding it would see none of its samples inside the call)."""
    from orivex import _native  # noqa: F401  (the second module, for the parametrised name)
    from test_detector_sweep import REAL

    module, name = function.rsplit(".", 1)
    call = getattr(sys.modules[module], name)
    data = REAL / "siemens_prisma_xa30_ax"
    kwargs = dict(bvec=str(data / "dwi.bvec"), bval=str(data / "dwi.bval"))
    samples, stop = [], threading.Event()

    def sample():
        while not stop.is_set():
            samples.append(time.perf_counter())
            time.sleep(0.0005)

    thread = threading.Thread(target=sample)
    thread.start()
    try:
        start = time.perf_counter()
        call(str(data / "dwi.nii.gz"), **kwargs)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    inside = [t for t in samples if start + 0.1 * (end - start) < t < end - 0.1 * (end - start)]
    assert len(inside) >= 3, (len(inside), end - start)
