"""Reading the files a dataset or an output folder holds without trusting them.

Every read here is bounded: the file must be a regular file (a FIFO is opened without blocking
and refused, a device is refused), it may not exceed its cap, and a final symbolic link is not
followed where the caller says so (inside OUTPUT_DIR, where links can be planted). JSON is
parsed strictly (no NaN or Infinity) and only after a linear scan has bounded its nesting, so a
document nested 100,000 levels deep is refused instead of exhausting the interpreter's stack.
"""

import errno
import itertools
import json
import math
import os
import re
import stat

MIB = 1 << 20
SIDECAR_CAP = 1 * MIB  # sidecars, dataset_description.json, .bidsignore
REPORT_CAP = 16 * MIB
THUMB_CAP = 8 * MIB
MAX_DEPTH = 64  # reports and sidecars nest a handful of levels


class Unreadable(ValueError):
    """A file that cannot be read safely. The text says why, without the path, as a predicate
    ("is not a regular file"), so that "{path} {error}" reads as a sentence."""


_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)


def read_bytes(path, cap, *, dir_fd=None, follow=True):
    """The bytes of a regular file of at most `cap` bytes.

    Raises FileNotFoundError when it is absent and Unreadable otherwise. With follow=False a
    final symbolic link is refused, not followed.
    """
    flags = _OPEN_FLAGS | (0 if follow else os.O_NOFOLLOW)
    try:
        fd = os.open(path, flags, dir_fd=dir_fd)
    except FileNotFoundError:
        raise
    except OSError as e:
        if e.errno == errno.ELOOP and not follow:
            raise Unreadable("is a symbolic link, which is not followed here") from None
        raise Unreadable(f"cannot be read: {e.strerror or e}") from None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Unreadable("is not a regular file")
        if st.st_size > cap:
            raise Unreadable(f"is larger than {_size(cap)}")
        # Regular files never block; O_NONBLOCK only kept a FIFO from blocking the open.
        os.set_blocking(fd, True)
        chunks, total = [], 0
        while total <= cap:
            chunk = os.read(fd, min(cap + 1 - total, MIB))
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
        if total > cap:  # it grew while being read
            raise Unreadable(f"is larger than {_size(cap)}")
        return b"".join(chunks)
    except OSError as e:
        raise Unreadable(f"cannot be read: {e.strerror or e}") from None
    finally:
        os.close(fd)


def _size(n):
    return f"{n // MIB} MiB" if n % MIB == 0 else f"{n} bytes"


# A string (possibly unterminated, so every match ends and the scan stays linear), or a bracket.
_STRING = re.compile(r'"(?:[^"\\]|\\[\s\S])*(?:"|\\?\Z)')
_NOT_BRACKET = re.compile(r"[^\[\]{}]+")
_STEP = {"[": 1, "{": 1, "]": -1, "}": -1}


def nesting(text):
    """How deeply the arrays and objects of a JSON text nest (its brackets outside strings)."""
    brackets = _NOT_BRACKET.sub("", _STRING.sub("", text))
    return max(itertools.accumulate(map(_STEP.__getitem__, brackets)), default=0)


def _no_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def _finite_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"the number {text[:40]} is out of range")
    return value


def loads(data, max_depth=MAX_DEPTH):
    """A JSON document from bytes or text, strictly: UTF-8, finite numbers only (no NaN,
    Infinity or 1e999), bounded depth."""
    try:
        text = data.decode("utf-8") if isinstance(data, bytes) else data
    except UnicodeDecodeError as e:
        raise Unreadable(f"is not UTF-8 text ({e.reason} at byte {e.start})") from None
    if nesting(text) > max_depth:
        raise Unreadable(f"nests more than {max_depth} levels deep")
    try:
        return json.loads(text, parse_constant=_no_constant, parse_float=_finite_float)
    except RecursionError:  # pragma: no cover - the scan above bounds the depth
        raise Unreadable(f"nests more than {max_depth} levels deep") from None
    except ValueError as e:
        raise Unreadable(f"is not valid JSON: {e}") from None


def read_json(path, cap=SIDECAR_CAP, *, dir_fd=None, follow=True):
    """read_bytes, then loads."""
    return loads(read_bytes(path, cap, dir_fd=dir_fd, follow=follow))


def read_json_object(path, cap=SIDECAR_CAP, *, dir_fd=None, follow=True):
    """read_json of a document that must be a JSON object."""
    doc = read_json(path, cap, dir_fd=dir_fd, follow=follow)
    if not isinstance(doc, dict):
        raise Unreadable("is not a JSON object")
    return doc


def finite(value):
    """`value` with every NaN or infinite float replaced by None, as JSON wants them."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


def dumps(value, **kw):
    """json.dumps that writes non-finite numbers as null (bare NaN is not JSON)."""
    return json.dumps(finite(value), allow_nan=False, ensure_ascii=False, **kw)
