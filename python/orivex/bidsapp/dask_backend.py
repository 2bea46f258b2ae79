"""Runs sent to a dask.distributed cluster (the optional extra orivex[dask]).

Each run goes out as one task of `task.process`; what comes back is the run's report and its
other outputs as bytes, and this client writes them under OUTPUT_DIR. The workers therefore need
orivex installed and the BIDS dataset readable at the same path, but no access to OUTPUT_DIR.
Each audit uses one thread unless --threads says otherwise: a Dask worker already runs one task
per worker thread, and its defaults give a machine as many worker threads as cores.
Connecting, and then the first worker, are each waited for at most --dask-timeout seconds.
"""

import re

from orivex.bidsapp import task

DEFAULT_TIMEOUT = 60.0
# What a scheduler can be reached over from another process; inproc:// lives in one process.
SCHEMES = ("tcp", "tls", "ws", "wss", "ucx")
_HOST_PORT = re.compile(r"^(?:\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9._-]+)(?::(\d{1,5}))?/?$")


def check_address(address, error=ValueError):
    """Raises `error` for an address no scheduler can be reached at: empty, another process's
    inproc://, an unknown scheme, no host, or a port outside 1..65535."""
    text = address.strip()
    if not text:
        raise error("--dask-scheduler needs an address, such as tcp://host:8786")
    scheme, sep, rest = text.rpartition("://")
    if sep and scheme not in SCHEMES:
        why = ("inproc:// only reaches a scheduler inside this same process"
               if scheme == "inproc" else f"the scheme {scheme}:// is not one of "
               + ", ".join(s + "://" for s in SCHEMES))
        raise error(f"--dask-scheduler {address}: {why}")
    m = _HOST_PORT.match(rest)
    if m is None or (m.group(1) is not None and not 1 <= int(m.group(1)) <= 65535):
        raise error(f"--dask-scheduler {address}: not a host[:port] address, such as "
                    "tcp://host:8786")


def _client(address, timeout):
    try:
        from dask.distributed import Client
    except ImportError as e:
        raise ImportError("--dask-scheduler needs dask.distributed: install the extra with "
                          "pip install 'orivex[dask]'") from e
    check_address(address)
    try:
        client = Client(address, timeout=f"{timeout}s", set_as_default=False)
    except (OSError, TimeoutError) as e:
        raise OSError(f"no Dask scheduler answered at {address} within {timeout:g} s "
                      f"(--dask-timeout): {e}") from None
    try:
        client.wait_for_workers(1, timeout=timeout)
    except (OSError, TimeoutError):
        client.close()
        raise OSError(f"the Dask scheduler at {address} has no workers: none joined within "
                      f"{timeout:g} s (--dask-timeout)") from None
    except BaseException:
        client.close()
        raise
    return client


def execute(address, items, root, options, threads, failed, timeout=DEFAULT_TIMEOUT):
    """Yields (ctx, run, result) as tasks finish; at most four tasks per worker thread in flight.

    A task that raises (a worker lost, a fault outside the run's data) becomes the run's ERROR
    result through `failed`, like a failing run.
    """
    from dask.distributed import as_completed

    client = _client(address, timeout)
    try:
        slots = max(1, sum(w.get("nthreads", 1)
                           for w in client.scheduler_info()["workers"].values()))
        window = 4 * slots
        items = iter(items)
        pending = {}
        finished = None

        def submit():
            item = next(items, None)
            if item is None:
                return False
            ctx, run, recorded = item
            fut = client.submit(task.process, run, root, options, recorded, threads, pure=False)
            pending[fut.key] = item
            if finished is not None:
                finished.add(fut)
            return fut

        first = []
        while len(first) < window and (fut := submit()):
            first.append(fut)
        if not first:
            return
        # Given the client's loop: this client is deliberately not the process's default.
        finished = as_completed(first, loop=client.loop)
        del first
        for fut in finished:
            ctx, run, recorded = pending.pop(fut.key)
            try:
                result = fut.result()
            except Exception as e:
                result = failed(run, root, options, f"Dask task failed: {type(e).__name__}: {e}")
            fut.release()
            yield ctx, run, result
            while len(pending) < window and submit():
                pass
    finally:
        client.close()
