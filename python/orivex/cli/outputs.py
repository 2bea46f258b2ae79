"""The files the command line itself checks and writes (the saved report, the QC figure).

They follow the rules the core applies to the tables it writes: never over an input, never over
an existing file without --force (which keeps the old one under the first free .bak name),
never through a symbolic link, and always whole (`orivex.files`).
"""

import os
import stat

from orivex import files


class OutputError(Exception):
    """An output that may not be written; the text names the option and the path."""


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return os.path.normpath(os.path.abspath(a)) == os.path.normpath(os.path.abspath(b))


def _lstat(path):
    try:
        return os.lstat(path)
    except FileNotFoundError:
        return None


def _streams(st):
    """A character device or FIFO at the path itself: nothing to replace, written through."""
    return st is not None and (stat.S_ISCHR(st.st_mode) or stat.S_ISFIFO(st.st_mode))


def check(option, path, *, force, inputs=(), taken=(), must_not_exist=True, written=True):
    """Raises OutputError when `path` may not be written.

    `inputs` and `taken` are (option, path) pairs of the run's inputs and its other outputs.
    With `must_not_exist`, an existing entry (a dangling link too) needs `force`; with
    `written`, its folder must exist and be writable.
    """
    for other, p in inputs:
        if p and _same_file(path, p):
            raise OutputError(f"{option} {path}: refusing to overwrite an input file ({other})")
    for other, p in taken:
        if p and _same_file(path, p):
            raise OutputError(f"{option} {path}: names the same file as {other}")
    if not written:
        return
    # The folder must be there and writable; the core's own failure would not say which output.
    folder = os.path.dirname(path) or "."
    try:
        if not stat.S_ISDIR(os.stat(folder).st_mode):
            raise OutputError(f"{option} {path}: Not a directory")
    except OSError as e:
        raise OutputError(f"{option} {path}: {e.strerror}") from None
    if not os.access(folder, os.W_OK):
        raise OutputError(f"{option} {path}: Permission denied")
    st = _lstat(path)
    if st is None or not must_not_exist:
        return
    if not force:
        raise OutputError(f"{option} {path}: refusing to overwrite existing file (pass --force to allow)")
    if stat.S_ISLNK(st.st_mode):
        try:
            target = os.stat(path)
        except OSError:
            return  # a dangling link is moved aside like a file
        if not stat.S_ISREG(target.st_mode):
            raise OutputError(f"{option} {path}: refusing to write through a symbolic link")
    elif stat.S_ISDIR(st.st_mode):
        raise OutputError(f"{option} {path}: Is a directory")
    elif stat.S_ISBLK(st.st_mode):
        raise OutputError(f"{option} {path}: refusing to write into a block device")


def write(option, path, data, *, force):
    """Writes `data` (bytes) to `path` whole (`orivex.files`); returns the backup made, or None.

    After a failure `path` is as it was and no sibling remains; the OSError becomes an
    OutputError naming the option and the path.
    """
    check(option, path, force=force)
    try:
        if _streams(_lstat(path)):
            with open(path, "wb") as f:
                f.write(data)
            return None
        return files.write(path, data, backup=True)
    except OSError as e:
        raise OutputError(f"{option} {path}: {e.strerror or e}") from None
