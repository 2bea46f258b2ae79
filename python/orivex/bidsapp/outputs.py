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
        fd = self._folder_fd(folder, create=True)
        try:
            with files.atomic(name, dir_fd=fd) as (f, _):
                yield f
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

    def read(self, rel):
        """The bytes of OUTPUT_DIR/rel, or None when it is absent (links are not followed)."""
        folder, _, name = rel.rpartition("/")
        try:
            fd = self._folder_fd(folder, create=False)
        except (OSError, OutputError):
            return None
        try:
            f = os.open(name, os.O_RDONLY | os.O_NOFOLLOW, dir_fd=fd)
        except OSError:
            return None
        finally:
            os.close(fd)
        with os.fdopen(f, "rb") as fh:
            return fh.read()

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
    try:
        with open(os.path.join(bids_dir, DESCRIPTION), encoding="utf-8") as f:
            raw = json.load(f)
        if isinstance(raw, dict):
            if raw.get("DatasetDOI"):
                source["DOI"] = raw["DatasetDOI"]
    except (OSError, ValueError):
        pass
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
