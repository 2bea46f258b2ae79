"""Table arguments: paths pass through as text; arrays become a private, temporary table file.

The native module reads tables from files only. An array (a numpy array, a list of lists, any
sequence of numbers) is written in the file form the module reads, every number as Python's
shortest round-trip text, so the module reads back exactly the doubles it was given.
"""

from __future__ import annotations

import os

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing
if TYPE_CHECKING:
    from typing import Any, Optional


def path_text(value: Any, name: str) -> Optional[str]:
    """A path argument as the text the module takes; None stays None."""
    if value is None:
        return None
    if isinstance(value, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(value))
    raise TypeError(f"{name} must be a path (str or os.PathLike), not {type(value).__name__}")


def _is_path(value: Any) -> bool:
    return isinstance(value, (str, bytes, os.PathLike))


def _nested(value: Any, name: str):
    """Nested Python lists of an array-like (numpy arrays through tolist, no numpy needed)."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    if isinstance(value, (str, bytes)):
        return value  # a leaf, refused by _number
    try:
        items = list(value)
    except TypeError:
        return value
    return [_nested(v, name) for v in items]


def _number(x: Any, name: str) -> str:
    if isinstance(x, (str, bytes, list)):  # text is no number, and a list is one level too deep
        raise TypeError(f"{name}: expected a number, got {type(x).__name__} {x!r}")
    try:
        return repr(float(x))
    except (TypeError, ValueError):
        raise TypeError(f"{name}: expected a number, got {type(x).__name__}") from None


def _shape_error(name: str, expected: str) -> ValueError:
    return ValueError(f"{name} must be an array of shape {expected}")


def _vector(value: Any, name: str) -> list[str]:
    """b-values: shape (N,), (1, N) or (N, 1)."""
    v = _nested(value, name)
    if not isinstance(v, list):
        raise _shape_error(name, "(N,)")
    if v and all(isinstance(x, list) for x in v):
        if len(v) == 1:
            v = v[0]
        elif all(len(x) == 1 for x in v):
            v = [x[0] for x in v]
        else:
            raise _shape_error(name, "(N,)")
    return [_number(x, name) for x in v]


def _rows(value: Any, name: str, width: int) -> list[list[str]]:
    """Rows of `width` numbers from an (N, width) or (width, N) array; (width, width) is read by
    rows, one row per volume, as dipy reads a square table."""
    v = _nested(value, name)
    if not isinstance(v, list) or not all(isinstance(r, list) for r in v):
        raise _shape_error(name, f"(N, {width}) or ({width}, N)")
    if all(len(r) == width for r in v):
        rows = v
    elif len(v) == width and len({len(r) for r in v}) == 1:
        rows = [list(col) for col in zip(*v)]
    else:
        raise _shape_error(name, f"(N, {width}) or ({width}, N)")
    return [[_number(x, name) for x in r] for r in rows]


class TableFiles:
    """Context manager giving the table arguments of one call as path texts.

    Arrays are written under a private temporary folder that is removed on exit, whatever
    happened inside. The report then names those temporary files among its inputs; their
    digests identify the table's numbers.
    """

    def __init__(self, bvec: Any = None, bval: Any = None, grad: Any = None):
        self._given = {"bvec": bvec, "bval": bval, "grad": grad}
        self._folder: Optional[str] = None

    def __enter__(self) -> dict[str, Optional[str]]:
        try:
            return {name: self._one(name, value) for name, value in self._given.items()}
        except BaseException:
            self._cleanup()
            raise

    def __exit__(self, *exc) -> None:
        self._cleanup()

    def _one(self, name: str, value: Any) -> Optional[str]:
        if value is None or _is_path(value):
            return path_text(value, name)
        width = {"bvec": 3, "grad": 4}.get(name)
        rows = [_vector(value, "bval")] if name == "bval" else _rows(value, name, width)
        if not rows or not rows[0]:
            raise ValueError(f"{name}: the table holds no volumes")
        if name == "bval":
            text = " ".join(rows[0]) + "\n"
        elif name == "bvec":
            # FSL layout: one line per axis, so a 3-volume table cannot be read the other way.
            text = "".join(" ".join(axis) + "\n" for axis in zip(*rows))
        else:
            text = "".join(" ".join(r) + "\n" for r in rows)
        if self._folder is None:
            import tempfile  # only arrays need it; a command line that passes paths never does

            self._folder = tempfile.mkdtemp(prefix="orivex-table-")
        path = os.path.join(self._folder, "array." + {"bvec": "bvec", "bval": "bval", "grad": "b"}[name])
        with open(path, "w", encoding="ascii") as f:
            f.write(text)
        return path

    def _cleanup(self) -> None:
        if self._folder is not None:
            import shutil

            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None
