"""The analysis defaults, read from the native module's signatures (generated from the core)."""

import inspect

import _orivex

from orivex import _native

_PARAMETERS = inspect.signature(_orivex.repair).parameters

TOLERANCE = _PARAMETERS["tolerance"].default
B0_THRESHOLD = _PARAMETERS["b0_threshold"].default
MARGIN_THRESHOLD = _PARAMETERS["margin_threshold"].default
NORM_TOLERANCE = _PARAMETERS["norm_tolerance"].default

_VERDICT = inspect.signature(_native.audit).parameters

SEEDS = _VERDICT["seeds"].default
VERDICT_MARGIN = _VERDICT["verdict_margin"].default
