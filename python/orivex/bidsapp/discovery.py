"""Finding the diffusion runs of a BIDS dataset the way BIDS lays them out.

Runs live in sub-<label>/[ses-<label>/]dwi/ as <entities>_dwi.nii[.gz]. Their .bvec, .bval and
.json may sit beside them or at any higher level (session, subject, dataset root) under a name
whose entities are a subset of the run's: the inheritance principle. The nearest table applies;
sidecars merge from the root down, nearer levels overriding. Two applicable files at one level,
or an image with no applicable table, make an error entry rather than a silent skip.
"""

import os
import re
from dataclasses import dataclass, field

NIFTI_EXTENSIONS = (".nii.gz", ".nii")
_KEY = re.compile(r"^[a-zA-Z0-9]+$")


class DiscoveryError(Exception):
    """The dataset cannot be searched at all (missing root, unreadable folder)."""


@dataclass(frozen=True)
class Run:
    """One DWI run and the files that apply to it; paths are absolute or as given under root."""

    rel: str  # the image, relative to the dataset root, '/'-separated
    dwi: str
    entities: tuple  # ((key, value), ...) in file-name order
    bvec: str | None = None
    bval: str | None = None
    sidecars: tuple = ()  # applicable .json, outermost first
    masks: tuple = ()
    problem: str | None = None  # why the run cannot be audited

    @property
    def subject(self):
        return dict(self.entities).get("sub")

    @property
    def session(self):
        return dict(self.entities).get("ses")

    @property
    def folder(self):
        """The run's folder relative to the root (sub-01/ses-1/dwi)."""
        return self.rel.rsplit("/", 1)[0]

    @property
    def base(self):
        """The run's entities as a file-name prefix (sub-01_ses-1_run-1)."""
        return "_".join(f"{k}-{v}" for k, v in self.entities)

    def table_files(self):
        return tuple(p for p in (self.bvec, self.bval) if p)


def parse_name(name):
    """(entities, suffix, extension) of a BIDS file name, or None when it is not one.

    "sub-01_ses-1_dwi.nii.gz" gives ((("sub", "01"), ("ses", "1")), "dwi", ".nii.gz"); an
    inheritable top-level "dwi.bvec" gives ((), "dwi", ".bvec").
    """
    if name.startswith("."):
        return None
    stem, dot, ext = name.partition(".")
    if not dot or not stem:
        return None
    parts = stem.split("_")
    suffix = parts[-1]
    if not _KEY.match(suffix):
        return None
    entities = []
    for part in parts[:-1]:
        key, dash, value = part.partition("-")
        if not dash or not _KEY.match(key) or not _KEY.match(value):
            return None
        entities.append((key, value))
    return tuple(entities), suffix, "." + ext


class BidsIgnore:
    """The patterns of <root>/.bidsignore, matched as .gitignore matches them (no negation)."""

    def __init__(self, patterns=()):
        self.rules = []
        for line in patterns:
            line = line.strip()
            if not line or line.startswith("#") or line.startswith("!"):
                continue
            dir_only = line.endswith("/")
            line = line.rstrip("/")
            anchored = "/" in line
            self.rules.append((_glob_regex(line.lstrip("/")), anchored, dir_only))

    @classmethod
    def load(cls, root):
        try:
            with open(os.path.join(root, ".bidsignore"), encoding="utf-8", errors="replace") as f:
                return cls(f.read().splitlines())
        except FileNotFoundError:
            return cls()

    def ignores(self, rel, is_dir=False):
        parts = rel.split("/")
        for k in range(1, len(parts) + 1):
            prefix_is_dir = k < len(parts) or is_dir
            for regex, anchored, dir_only in self.rules:
                if dir_only and not prefix_is_dir:
                    continue
                target = "/".join(parts[:k]) if anchored else parts[k - 1]
                if regex.fullmatch(target):
                    return True
        return False


def _glob_regex(pattern):
    out, i = [], 0
    while i < len(pattern):
        c = pattern[i]
        if pattern.startswith("**/", i):
            out.append("(?:.*/)?")
            i += 3
            continue
        if pattern.startswith("**", i):
            out.append(".*")
            i += 2
            continue
        if c == "*":
            out.append("[^/]*")
        elif c == "?":
            out.append("[^/]")
        elif c == "[":
            j = pattern.find("]", i + 1)
            if j < 0:
                out.append(re.escape(c))
            else:
                body = pattern[i + 1:j]
                out.append("[" + ("^" + body[1:] if body.startswith("!") else body) + "]")
                i = j
        else:
            out.append(re.escape(c))
        i += 1
    return re.compile("".join(out))


def _label(value):
    """A participant or session label as BIDS Apps take it: with or without its prefix."""
    return value.split("-", 1)[1] if value.startswith(("sub-", "ses-")) else value


@dataclass
class _Level:
    """One folder's files, parsed once: every run below the folder consults it."""

    path: str
    files: list = field(default_factory=list)  # (name, entities, suffix, ext)


def _list(path):
    try:
        with os.scandir(path) as it:
            return sorted(it, key=lambda e: e.name.encode("utf-8", "surrogateescape"))
    except FileNotFoundError:
        return []
    except OSError as e:
        raise DiscoveryError(f"cannot list {path}: {e.strerror}") from e


def _is_dir(entry):
    try:
        return entry.is_dir()
    except OSError:
        return False


def _is_file(entry):
    try:
        return entry.is_file()
    except OSError:
        return False


class Dataset:
    """A BIDS dataset root with its .bidsignore and cached folder listings."""

    def __init__(self, root):
        if not os.path.exists(root):
            raise DiscoveryError(f"BIDS dataset not found: {root} does not exist")
        if not os.path.isdir(root):
            raise DiscoveryError(f"BIDS dataset not found: {root} is not a directory")
        self.root = root
        self.ignore = BidsIgnore.load(root)
        self._levels = {}

    def _rel(self, path):
        return os.path.relpath(path, self.root).replace(os.sep, "/")

    def _level(self, path):
        level = self._levels.get(path)
        if level is None:
            level = _Level(path)
            for e in _list(path):
                parsed = parse_name(e.name)
                if parsed and _is_file(e) and not self.ignore.ignores(self._rel(e.path)):
                    level.files.append((e.name, *parsed))
            self._levels[path] = level
        return level

    def _subdirs(self, path, prefix, labels):
        out = []
        for e in _list(path):
            if not e.name.startswith(prefix) or not _is_dir(e):
                continue
            if labels is not None and _label(e.name) not in labels:
                continue
            if self.ignore.ignores(self._rel(e.path), is_dir=True):
                continue
            out.append(e.path)
        return out

    def subjects(self):
        return [os.path.basename(p) for p in self._subdirs(self.root, "sub-", None)]

    def runs(self, participants=None, sessions=None):
        """Every DWI run of the selected participants and sessions, in path order."""
        participants = None if not participants else {_label(p) for p in participants}
        sessions = None if not sessions else {_label(s) for s in sessions}
        if participants is not None:
            missing = sorted(participants - {_label(s) for s in self.subjects()})
            if missing:
                raise DiscoveryError("no such participant in {}: {}".format(
                    self.root, ", ".join("sub-" + m for m in missing)))
        runs = []
        for sub in self._subdirs(self.root, "sub-", participants):
            folders = [] if sessions is not None else [(sub, None)]
            folders += [(ses, ses) for ses in self._subdirs(sub, "ses-", sessions)]
            for folder, ses in folders:
                dwi_dir = os.path.join(folder, "dwi")
                if os.path.isdir(dwi_dir) and not self.ignore.ignores(self._rel(dwi_dir), True):
                    levels = [self.root, sub] + ([ses] if ses else []) + [dwi_dir]
                    runs += self._runs_in(dwi_dir, levels)
            # Only the root's files apply across participants; memory stays flat with their count.
            self._levels = {p: v for p, v in self._levels.items() if p == self.root}
        return runs

    def _runs_in(self, dwi_dir, levels):
        here = self._level(dwi_dir)
        found = []
        seen = {}
        for name, entities, suffix, ext in here.files:
            if suffix != "dwi" or ext not in NIFTI_EXTENSIONS:
                continue
            path = os.path.join(dwi_dir, name)
            run = self._resolve(path, entities, levels)
            key = run.base
            if key in seen:
                run = Run(run.rel, run.dwi, run.entities,
                          problem=f"another image with the same entities is also here: {seen[key]}")
            else:
                seen[key] = name
            found.append(run)
        return found

    def _applicable(self, levels, entities, ext):
        """Per level, root first: the files of that extension whose entities the run has."""
        mine = set(entities)
        out = []
        for level_path in levels:
            hits = [os.path.join(level_path, name)
                    for name, ents, suffix, e in self._level(level_path).files
                    if suffix == "dwi" and e == ext and set(ents) <= mine]
            out.append(hits)
        return out

    def _resolve(self, path, entities, levels):
        rel = self._rel(path)
        base = Run(rel, path, entities)
        folder_labels = [os.path.basename(p) for p in levels[1:-1]]
        for key, folder in zip(("sub", "ses"), folder_labels):
            if dict(entities).get(key) != _label(folder):
                return _with(base, problem=f"file name does not match its folder {folder}")
        picked = {}
        for ext in (".bvec", ".bval"):
            nearest = None
            for hits in reversed(self._applicable(levels, entities, ext)):
                if len(hits) > 1:
                    return _with(base, problem="more than one {} applies at one level: {}".format(
                        ext, ", ".join(self._rel(h) for h in hits)))
                if hits:
                    nearest = hits[0]
                    break
            if nearest is None:
                # FSL's plural names beside the image (dtifit and eddy write them).
                fsl = path[: -len(_nifti_ext(path))] + ext + "s"
                nearest = fsl if os.path.isfile(fsl) else None
            picked[ext] = nearest
        sidecars = []
        for hits in self._applicable(levels, entities, ".json"):
            if len(hits) > 1:
                return _with(base, problem="more than one .json applies at one level: {}".format(
                    ", ".join(self._rel(h) for h in hits)))
            sidecars += hits
        masks = tuple(sorted(
            (os.path.join(levels[-1], name) for name in _mask_names(levels[-1])),
            key=lambda p: p.encode("utf-8", "surrogateescape")))
        run = _with(base, bvec=picked[".bvec"], bval=picked[".bval"], sidecars=tuple(sidecars),
                    masks=masks)
        missing = [ext for ext in (".bvec", ".bval") if picked[ext] is None]
        if missing:
            return _with(run, problem="no {} applies to this image (none beside it, none inherited "
                         "from the session, subject or dataset level)".format(" or ".join(missing)))
        return run


def _with(run, **changes):
    values = {f: getattr(run, f) for f in run.__dataclass_fields__}
    values.update(changes)
    return Run(**values)


def _nifti_ext(path):
    return next(e for e in NIFTI_EXTENSIONS if path.endswith(e))


def _mask_names(folder):
    # Brain masks kept beside the image; the audit uses the first on the DWI grid.
    out = []
    for e in _list(folder):
        low = e.name.lower()
        if (not e.name.startswith(".") and "mask" in low and low.endswith(NIFTI_EXTENSIONS)
                and _is_file(e)):
            out.append(e.name)
    return out
