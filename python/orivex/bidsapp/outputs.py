"""The derivatives dataset on disk: file names, safe folders and atomic writes under OUTPUT_DIR.

Every file is written whole by `orivex.files` (a hidden sibling, flushed, renamed over the name):
a reader, another array task or a crash sees the old file or the new one. Folders are entered by
descriptor with O_NOFOLLOW, so a link planted in the output tree (sub-01 -> /etc) is refused,
not written through.
"""

import contextlib
import errno
import json
import os

from orivex import files

from orivex.bidsapp import safe_read

REPORT = "_desc-orivex_report.json"
QC = "_desc-orivex_qc.png"
THUMB = "_desc-orivexthumb_qc.png"
BVEC = "_desc-corrected_dwi.bvec"
BVAL = "_desc-corrected_dwi.bval"

DESCRIPTION = "dataset_description.json"
SUMMARY = "dataset_summary.json"
TSV = "group_orientation.tsv"
TSV_SIDECAR = "group_orientation.json"
HTML = "orivex_report.html"

BIDS_VERSION = "1.9.0"


class OutputError(Exception):
    """OUTPUT_DIR, or a folder inside it, cannot be used safely."""


def run_files(folder, base):
    """The per-run output names, relative to OUTPUT_DIR."""
    prefix = f"{folder}/{base}"
    return {"report": prefix + REPORT, "qc": prefix + QC, "thumb": prefix + THUMB,
            "bvec": prefix + BVEC, "bval": prefix + BVAL}


_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)


class OutputDir:
    """OUTPUT_DIR, created if needed; its own last component may not be a symbolic link."""

    def __init__(self, path):
        self.path = path
        if os.path.islink(path):
            raise OutputError(f"output directory is a symbolic link: {path} (give its target)")
        if os.path.exists(path) and not os.path.isdir(path):
            raise OutputError(f"output directory {path} exists and is not a directory")
        try:
            os.makedirs(path, exist_ok=True)
            self.fd = os.open(path, _DIR_FLAGS)
        except OSError as e:
            raise OutputError(f"cannot use output directory {path}: {e.strerror}") from e

    def close(self):
        os.close(self.fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _folder_fd(self, rel_folder, create):
        """A descriptor of OUTPUT_DIR/rel_folder, walked one component at a time."""
        fd = os.dup(self.fd)
        try:
            for part in [p for p in rel_folder.split("/") if p]:
                if part in (".", ".."):
                    raise OutputError(f"unsafe output folder: {rel_folder}")
                try:
                    try:
                        nfd = os.open(part, _DIR_FLAGS, dir_fd=fd)
                    except FileNotFoundError:
                        if not create:
                            raise
                        # Folders exist for every run but the first of each: open first.
                        with contextlib.suppress(FileExistsError):
                            os.mkdir(part, 0o777, dir_fd=fd)
                        nfd = os.open(part, _DIR_FLAGS, dir_fd=fd)
                except OSError as e:
                    if e.errno in (errno.ELOOP, errno.ENOTDIR):
                        raise OutputError(
                            f"refusing to write through a symbolic link or file in the output "
                            f"tree: {os.path.join(self.path, rel_folder)}") from e
                    raise
                os.close(fd)
                fd = nfd
            return fd
        except BaseException:
            os.close(fd)
            raise

    @contextlib.contextmanager
    def atomic(self, rel):
        """A binary file object whose content replaces OUTPUT_DIR/rel when the block ends
        without an exception (see `orivex.files`); on an exception nothing changes."""
        folder, _, name = rel.rpartition("/")
        try:
            fd = self._folder_fd(folder, create=True)
        except OSError as e:
            raise OutputError(f"cannot create {os.path.join(self.path, folder)}: "
                              f"{e.strerror or e}") from None
        try:
            with files.atomic(name, dir_fd=fd) as (f, _):
                yield f
        except OSError as e:  # a full disk, a quota: say which file it hit
            raise OutputError(f"cannot write {os.path.join(self.path, rel)}: "
                              f"{e.strerror or e}") from None
        finally:
            os.close(fd)

    @contextlib.contextmanager
    def folder(self, rel_folder):
        """OUTPUT_DIR/rel_folder (created if needed) as an OutputDir, entered once for the
        files written there."""
        sub = OutputDir.__new__(OutputDir)
        sub.path = os.path.join(self.path, rel_folder)
        sub.fd = self._folder_fd(rel_folder, create=True)
        try:
            yield sub
        finally:
            sub.close()

    def write(self, rel, data):
        """Writes bytes or text to OUTPUT_DIR/rel atomically."""
        with self.atomic(rel) as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)

    def read(self, rel, cap):
        """The bytes of OUTPUT_DIR/rel, or None when it is absent or cannot be read safely (a
        link, not a regular file, over `cap` bytes): see read_checked."""
        try:
            return self.read_checked(rel, cap)
        except (FileNotFoundError, safe_read.Unreadable):
            return None

    def read_checked(self, rel, cap):
        """The bytes of OUTPUT_DIR/rel: a regular file of at most `cap` bytes, reached without
        following any link (a FIFO planted there is refused without waiting for a writer).
        Raises FileNotFoundError when it is absent, safe_read.Unreadable otherwise."""
        folder, _, name = rel.rpartition("/")
        try:
            fd = self._folder_fd(folder, create=False)
        except FileNotFoundError:
            raise
        except (OSError, OutputError) as e:
            raise safe_read.Unreadable(
                f"is in a folder that cannot be entered safely: {e}") from None
        try:
            return safe_read.read_bytes(name, cap, dir_fd=fd, follow=False)
        finally:
            os.close(fd)

    def remove(self, rel):
        """Removes OUTPUT_DIR/rel if present (a link there is removed, never followed)."""
        folder, _, name = rel.rpartition("/")
        try:
            fd = self._folder_fd(folder, create=False)
        except (OSError, OutputError):
            return
        try:
            os.unlink(name, dir_fd=fd)
        except FileNotFoundError:
            pass
        finally:
            os.close(fd)

    def exists(self, rel):
        folder, _, name = rel.rpartition("/")
        try:
            fd = self._folder_fd(folder, create=False)
        except (OSError, OutputError):
            return False
        try:
            os.stat(name, dir_fd=fd, follow_symlinks=False)
            return True
        except OSError:
            return False
        finally:
            os.close(fd)


def dataset_description(bids_dir, version):
    """The derivatives dataset's description, naming its source dataset."""
    source = {"URL": "file://" + os.path.abspath(bids_dir)}
    path = os.path.join(bids_dir, DESCRIPTION)
    try:
        raw = safe_read.read_json_object(path, safe_read.SIDECAR_CAP)
    except FileNotFoundError:
        raw = {}
    except safe_read.Unreadable as e:
        raise ValueError(f"{path} {e}") from None
    if isinstance(raw.get("DatasetDOI"), str) and raw["DatasetDOI"]:
        source["DOI"] = raw["DatasetDOI"]
    doc = {
        "Name": "orivex gradient-table audit",
        "BIDSVersion": BIDS_VERSION,
        "DatasetType": "derivative",
        "GeneratedBy": [{
            "Name": "orivex",
            "Version": version,
            "Description": "Checks each DWI run's gradient table against its image; corrected "
                           "tables for runs whose axes are flipped or swapped.",
        }],
        "SourceDatasets": [source],
    }
    return json.dumps(doc, indent=2, ensure_ascii=False) + "\n"
