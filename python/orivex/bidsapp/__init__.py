"""The BIDS App: participant and group levels over a BIDS dataset, with per-protocol consensus.

`orivex bids BIDS_DIR OUTPUT_DIR {participant,group}` is wired in `orivex.cli`; the work lives in
`discovery` (runs and their inherited files), `task` (one run, anywhere), `runner` (the
participant level on one machine or a Dask cluster), `group` and `consensus` (the dataset view),
`html` (the offline report) and `outputs` (names and atomic writes under OUTPUT_DIR).
"""
