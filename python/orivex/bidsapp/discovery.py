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

from orivex.bidsapp import safe_read

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


# Every name of the dataset is matched against every pattern; real files hold a few dozen.
MAX_PATTERNS = 10_000


class BidsIgnore:
    """The patterns of <root>/.bidsignore, matched as .gitignore matches them (no negation).

    Each pattern is compiled to a small automaton that is run over a name once, so matching
    takes time linear in the name whatever the pattern holds (no backtracking regex). A line
    that is not a valid pattern is skipped and listed in `problems` with its line number.
    """

    def __init__(self, patterns=(), source=".bidsignore"):
        self.rules = []
        self.problems = []
        for number, line in enumerate(patterns, 1):
            line = line.strip()
            if not line or line.startswith("#") or line.startswith("!"):
                continue
            dir_only = line.endswith("/")
            line = line.rstrip("/")
            anchored = "/" in line
            if len(self.rules) == MAX_PATTERNS:
                raise DiscoveryError(f"{source} holds more than {MAX_PATTERNS} patterns")
            try:
                glob = Glob(line.lstrip("/"))
            except ValueError as e:
                self.problems.append(f"{source} line {number}: {e}; the pattern is skipped")
                continue
            self.rules.append((glob, anchored, dir_only))

    @classmethod
    def load(cls, root):
        path = os.path.join(root, ".bidsignore")
        try:
            data = safe_read.read_bytes(path, safe_read.SIDECAR_CAP)
        except FileNotFoundError:
            return cls()
        except safe_read.Unreadable as e:
            raise DiscoveryError(f"{path} {e}") from None
        return cls(data.decode("utf-8", "replace").splitlines(), path)

    def ignores(self, rel, is_dir=False):
        parts = rel.split("/")
        for k in range(1, len(parts) + 1):
            prefix_is_dir = k < len(parts) or is_dir
            for glob, anchored, dir_only in self.rules:
                if dir_only and not prefix_is_dir:
                    continue
                target = "/".join(parts[:k]) if anchored else parts[k - 1]
                if glob.matches(target):
                    return True
        return False


class Glob:
    """One gitignore-style pattern as a bit-parallel automaton.

    Tokens: a literal, ? or a [class] (one character other than /), * (any run without /) and
    ** (any run); **/ is an optional group (nothing, or any run ending in /): an entry that
    consumes nothing and leads into ** then /, or past both. State k waits for token k; a name
    matches when the state after the last token is reached. Runs of stars count as one.
    """

    def __init__(self, pattern):
        self.tokens = _tokens(pattern)
        n = len(self.tokens)
        self.accept = 1 << n
        self.skip1 = _bits(self.tokens, lambda t: t[0] in ("star", "globstar", "opt"))
        self.skip3 = _bits(self.tokens, lambda t: t[0] == "opt")
        # The fewest characters a match needs (the / closing a **/ is optional): a name shorter
        # than that cannot match, so a pattern longer than any name costs nothing.
        self.min_length = sum(t[0] in ("lit", "any", "class") and self.tokens[k - 2:k] != [
            ("opt",), ("globstar",)] for k, t in enumerate(self.tokens))
        self._masks = {}
        # With at most one run of any length, a regex cannot backtrack more than once over the
        # name, and the regex engine is much faster than this automaton's Python loop.
        runs = sum(t[0] in ("star", "globstar") for t in self.tokens)
        self._regex = re.compile(_regex(self.tokens), re.DOTALL) if runs <= 1 else None

    def _closure(self, x):
        while True:
            y = x | (x & self.skip1) << 1 | (x & self.skip3) << 3
            if y == x:
                return x
            x = y

    def _mask(self, c):
        masks = self._masks.get(c)
        if masks is None:
            advance = _bits(self.tokens, lambda t: _consumes(t, c))
            stay = _bits(self.tokens, lambda t: t[0] == "globstar" or (t[0] == "star" and c != "/"))
            masks = self._masks[c] = (advance, stay)
        return masks

    def matches(self, name):
        if len(name) < self.min_length:
            return False
        if self._regex is not None:
            return self._regex.fullmatch(name) is not None
        state = self._closure(1)
        for c in name:
            advance, stay = self._mask(c)
            state = self._closure((state & advance) << 1 | (state & stay))
            if not state:
                return False
        return bool(state & self.accept)


def _regex(tokens):
    out = []
    for t in tokens:
        kind = t[0]
        if kind == "lit":
            out.append(re.escape(t[1]))
        elif kind == "any":
            out.append("[^/]")
        elif kind == "class":
            body = "".join(re.escape(lo) if lo == hi else f"{re.escape(lo)}-{re.escape(hi)}"
                           for lo, hi in t[1])
            out.append(f"[^/{body}]" if t[2] else f"(?!/)[{body}]")
        elif kind == "star":
            out.append("[^/]*")
        elif kind == "globstar":
            out.append(".*")
        else:  # opt: the ** and / that follow it become an optional group
            out.append("(?:")
    text, group = "", False
    for piece, t in zip(out, tokens):
        text += piece
        if t[0] == "opt":
            group = True
        elif group and t == ("lit", "/"):
            text += ")?"
            group = False
    return text


def _bits(tokens, test):
    """The int whose bit k is set when test(tokens[k]) holds."""
    return int("".join("1" if test(t) else "0" for t in reversed(tokens)) or "0", 2)


def _consumes(token, c):
    kind = token[0]
    if kind == "lit":
        return token[1] == c
    if kind == "any":
        return c != "/"
    if kind == "class":
        _, ranges, negate = token
        inside = any(lo <= c <= hi for lo, hi in ranges)
        return c != "/" and inside != negate
    return False


def _tokens(pattern):
    out, i, n = [], 0, len(pattern)
    while i < n:
        c = pattern[i]
        if c == "*":
            j = i
            while j < n and pattern[j] == "*":
                j += 1
            double, i = j - i >= 2, j
            if double and (not out or out[-1] == ("lit", "/")) and i < n and pattern[i] == "/":
                out += [("opt",), ("globstar",), ("lit", "/")]
                i += 1
            else:
                out.append(("globstar",) if double else ("star",))
            continue
        if c == "?":
            out.append(("any",))
        elif c == "[":
            token, i = _class(pattern, i)
            out.append(token)
            continue
        elif c == "\\":
            if i + 1 == n:
                raise ValueError(f"invalid pattern {pattern!r} (it ends in a lone backslash)")
            i += 1
            out.append(("lit", pattern[i]))
        else:
            out.append(("lit", c))
        i += 1
    return out


def _class(pattern, i):
    """The [class] token starting at pattern[i], and the index after it."""
    j = i + 1
    negate = j < len(pattern) and pattern[j] in "!^"
    if negate:
        j += 1
    ranges, first = [], True
    while True:
        if j >= len(pattern):
            raise ValueError(f"invalid pattern {pattern!r} (the [ at column {i + 1} is not closed)")
        c = pattern[j]
        if c == "]" and not first:
            return ("class", tuple(ranges), negate), j + 1
        if c == "\\" and j + 1 < len(pattern):
            j += 1
            c = pattern[j]
        first = False
        if j + 2 < len(pattern) and pattern[j + 1] == "-" and pattern[j + 2] != "]":
            hi = pattern[j + 2]
            if hi < c:
                raise ValueError(f"invalid pattern {pattern!r} (the range {c}-{hi} is reversed)")
            ranges.append((c, hi))
            j += 3
        else:
            ranges.append((c, c))
            j += 1


def _label(value, prefix):
    """A participant (prefix "sub-") or session ("ses-") label as BIDS Apps take it: with or
    without its own prefix; a folder name with another prefix is no label of that kind."""
    return value[len(prefix):] if value.startswith(prefix) else value


def _labels(values, prefix, kind):
    """The selected labels, each checked to be a BIDS label (letters and digits)."""
    if not values:
        return None
    out = set()
    for value in values:
        label = _label(value, prefix)
        if not _KEY.match(label):
            raise DiscoveryError(f"not a {kind} label: {value!r} (letters and digits, with or "
                                 f"without {prefix})")
        out.add(label)
    return out


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
                # Whatever is not a folder counts, a FIFO or a dangling link too: a run whose
                # table or sidecar has such a name is an error of that run, not incomplete.
                if parsed and not _is_dir(e) and not self.ignore.ignores(self._rel(e.path)):
                    level.files.append((e.name, *parsed))
            self._levels[path] = level
        return level

    def _subdirs(self, path, prefix, labels):
        out = []
        for e in _list(path):
            if not e.name.startswith(prefix) or not _is_dir(e):
                continue
            if labels is not None and _label(e.name, prefix) not in labels:
                continue
            if self.ignore.ignores(self._rel(e.path), is_dir=True):
                continue
            out.append(e.path)
        return out

    def subjects(self):
        return [os.path.basename(p) for p in self._subdirs(self.root, "sub-", None)]

    def runs(self, participants=None, sessions=None):
        """Every DWI run of the selected participants and sessions, in path order."""
        participants = _labels(participants, "sub-", "participant")
        sessions = _labels(sessions, "ses-", "session")
        if participants is not None:
            missing = sorted(participants - {_label(s, "sub-") for s in self.subjects()})
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
            if dict(entities).get(key) != _label(folder, key + "-"):
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
