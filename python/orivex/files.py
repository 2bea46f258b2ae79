"""Whole-file writes for every file orivex writes from Python (the command line's and the BIDS
App's): the data goes to a fresh hidden sibling (O_EXCL|O_NOFOLLOW, so a planted link is never
followed), is flushed to disk, and is then renamed over the final name. A reader or a crash sees
the old file or the new one, never half of one; after a failure the temporary is gone and the
final name is as it was.
"""

import contextlib
import itertools
import os

_CREATE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)


def _exists(name, dir_fd):
    try:
        os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
        return True
    except FileNotFoundError:
        return False


def next_backup(name, dir_fd=None):
    """name.bak, else name.bak.1, name.bak.2, ...: the first name nothing stands at."""
    names = itertools.chain([name + ".bak"], (f"{name}.bak.{n}" for n in itertools.count(1)))
    return next(n for n in names if not _exists(n, dir_fd))


@contextlib.contextmanager
def atomic(path, *, dir_fd=None, backup=False):
    """Yields (binary file, backups): the file's content replaces `path` (relative to `dir_fd`
    when given) when the block ends without an exception.

    With `backup`, an existing entry first moves to its first free .bak name (a link moves as
    the link, so what it points to is never touched), and `backups` receives that name.
    """
    folder, name = os.path.split(path)
    if not name:
        raise IsADirectoryError(21, os.strerror(21), path)
    for _ in range(100):
        tmp = os.path.join(folder, f".{name}.tmp-{os.getpid()}-{os.urandom(4).hex()}")
        try:
            fd = os.open(tmp, _CREATE, 0o666, dir_fd=dir_fd)
            break
        except FileExistsError:
            continue
    else:  # pragma: no cover - a hundred random names taken
        raise FileExistsError(17, "no free temporary name", path)
    backups = []
    moved = None
    try:
        with os.fdopen(fd, "wb") as f:
            yield f, backups
            f.flush()
            os.fsync(f.fileno())
        # Only now, with the new content on disk, does the old one move aside.
        if backup and _exists(path, dir_fd):
            moved = next_backup(path, dir_fd)
            os.rename(path, moved, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        os.replace(tmp, path, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp, dir_fd=dir_fd)
        if moved is not None and not _exists(path, dir_fd):
            os.rename(moved, path, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        raise
    if moved is not None:
        backups.append(moved)


def write(path, data, *, dir_fd=None, backup=False):
    """Writes bytes (or text, as UTF-8) to `path` whole; returns the backup made, or None."""
    with atomic(path, dir_fd=dir_fd, backup=backup) as (f, backups):
        f.write(data.encode("utf-8") if isinstance(data, str) else data)
    return backups[0] if backups else None
