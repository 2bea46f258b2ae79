"""Runs sent to a dask.distributed cluster (the optional extra orivex[dask]).

Each run goes out as one task of `task.process`; what comes back is the run's report and its
other outputs as bytes, and this client writes them under OUTPUT_DIR. The workers therefore need
orivex installed and the BIDS dataset readable at the same path, but no access to OUTPUT_DIR.
Each audit uses one thread unless --threads says otherwise: a Dask worker already runs one task
per worker thread, and its defaults give a machine as many worker threads as cores.
"""

from orivex.bidsapp import task


def _client(address):
    try:
        from dask.distributed import Client
    except ImportError as e:
        raise ImportError("--dask-scheduler needs dask.distributed: install the extra with "
                          "pip install 'orivex[dask]'") from e
    try:
        return Client(address, timeout="30s", set_as_default=False)
    except (OSError, TimeoutError) as e:
        raise OSError(f"cannot reach the Dask scheduler at {address}: {e}") from e


def execute(address, items, root, options, threads, failed):
    """Yields (ctx, run, result) as tasks finish; at most four tasks per worker thread in flight.

    A task that raises (a worker lost, a fault outside the run's data) becomes the run's ERROR
    result through `failed`, like a failing run.
    """
    from dask.distributed import as_completed

    client = _client(address)
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
