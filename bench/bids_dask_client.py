#!/usr/bin/env python3
"""bench helper: the participant level on a fresh Dask LocalCluster of 2 single-thread workers.

Usage: bids_dask_client.py BIDS_DIR OUTPUT_DIR. The time includes starting the cluster.
"""

import logging
import sys


def main():
    from dask.distributed import LocalCluster

    from orivex import cli

    logging.getLogger("distributed").setLevel(logging.ERROR)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        return cli.main(["bids", sys.argv[1], sys.argv[2], "participant", "--no-qc",
                         "--dask-scheduler", cluster.scheduler_address])


if __name__ == "__main__":
    sys.exit(main())
