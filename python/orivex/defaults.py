"""The analysis defaults, read from the native module's signatures (generated from the core).

The text signatures are read directly: `inspect` would cost the command line more to import than
the rest of its start-up.
"""

import _orivex

from orivex import _native

_LITERALS = {"None": None, "True": True, "False": False}


def _number(text):
    try:
        return int(text)
    except ValueError:
        return float(text)


def _defaults(function):
    """Each parameter's default, as the function's text signature gives it."""
    inner = function.__text_signature__.strip()[1:-1]
    out = {}
    for part in inner.split(","):
        name, sep, value = part.strip().partition("=")
        if sep:
            value = value.strip()
            out[name.strip()] = _LITERALS[value] if value in _LITERALS else _number(value)
    return out


_PARAMETERS = _defaults(_orivex.repair)

TOLERANCE = _PARAMETERS["tolerance"]
B0_THRESHOLD = _PARAMETERS["b0_threshold"]
MARGIN_THRESHOLD = _PARAMETERS["margin_threshold"]
NORM_TOLERANCE = _PARAMETERS["norm_tolerance"]

_VERDICT = _defaults(_native.audit)

SEEDS = _VERDICT["seeds"]
VERDICT_MARGIN = _VERDICT["verdict_margin"]
