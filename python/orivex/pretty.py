"""Re-lays out compact report JSON in the two-space pretty layout, keeping every number token."""

import json


class _Raw(str):
    """A number token kept exactly as the module wrote it."""


def _parse(text):
    return json.loads(text, parse_float=_Raw, parse_int=_Raw, parse_constant=_Raw)


def _emit(value, indent, out):
    pad = "  " * indent
    if isinstance(value, dict):
        if not value:
            out.append("{}")
            return
        out.append("{\n")
        items = list(value.items())
        for n, (k, v) in enumerate(items):
            out.append(pad + "  " + json.dumps(k, ensure_ascii=False) + ": ")
            _emit(v, indent + 1, out)
            out.append(",\n" if n + 1 < len(items) else "\n")
        out.append(pad + "}")
    elif isinstance(value, list):
        if not value:
            out.append("[]")
            return
        out.append("[\n")
        for n, v in enumerate(value):
            out.append(pad + "  ")
            _emit(v, indent + 1, out)
            out.append(",\n" if n + 1 < len(value) else "\n")
        out.append(pad + "]")
    elif isinstance(value, _Raw):
        out.append(str(value))
    elif value is True:
        out.append("true")
    elif value is False:
        out.append("false")
    elif value is None:
        out.append("null")
    else:
        out.append(json.dumps(value, ensure_ascii=False))


def pretty_json(text):
    """The pretty layout of a compact JSON text (no final line feed)."""
    out = []
    _emit(_parse(text), 0, out)
    return "".join(out)


def loads_exact(text):
    """The JSON value of a text, its number tokens kept exactly (for re-emitting with changes)."""
    return _parse(text)


def dumps_pretty(value):
    """The pretty layout of a value from `loads_exact`, possibly extended with plain values."""
    out = []
    _emit(value, 0, out)
    return "".join(out)
