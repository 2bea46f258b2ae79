"""The files the command line itself checks and writes (the saved report, the QC figure).

They follow the rules the core applies to the tables it writes: never over an input, never over
an existing file without --force (which keeps the old one under the first free .bak name),
never through a symbolic link, and always whole: the data goes to a hidden sibling that is
flushed to disk and then renamed over the final name.
"""

import itertools
import os
import stat


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


def next_backup_path(path):
    """path.bak, else path.bak.1, path.bak.2, ...: the first name nothing stands at."""
    for candidate in itertools.chain([path + ".bak"], (f"{path}.bak.{n}" for n in itertools.count(1))):
        if _lstat(candidate) is None:
            return candidate


def write(option, path, data, *, force):
    """Writes `data` (bytes) to `path` whole; returns the backup made, or None.

    After a failure `path` is as it was and no sibling remains; the OSError becomes an
    OutputError naming the option and the path.
    """
    check(option, path, force=force)
    st = _lstat(path)
    try:
        if _streams(st):
            with open(path, "wb") as f:
                f.write(data)
            return None
        return _replace(path, data, st is not None)
    except OSError as e:
        raise OutputError(f"{option} {path}: {e.strerror or e}") from None


def _replace(path, data, exists):
    directory, name = os.path.split(path)
    if not name:
        raise IsADirectoryError(21, os.strerror(21))
    directory = directory or "."
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
    for n in itertools.count():
        tmp = os.path.join(directory, f".orivex-tmp.{os.getpid()}.{n}")
        try:
            fd = os.open(tmp, flags, 0o666)
            break
        except FileExistsError:
            continue
    backup = None
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        # Only now, with the new content safely on disk, does the old one move aside; a link
        # is moved as the link, so whatever it points to is never touched.
        if exists:
            backup = next_backup_path(path)
            os.rename(path, backup)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if backup is not None and _lstat(path) is None:
            os.rename(backup, path)
            backup = None
        raise
    return backup
