"""The group level: every per-run report under OUTPUT_DIR, wherever it was written, summarised.

Writes dataset_summary.json, group_orientation.tsv (one row per run) and orivex_report.html.
Each report is read once and reduced to a small row (entities, status, evidence scores, protocol)
before the next is read, so memory follows the number of runs, not the size of their reports.
"""

import math
import os
import sys

import _orivex

from orivex.bidsapp import consensus, evidence, html, outputs, safe_read

ENTITY_ORDER = ("sub", "ses", "acq", "rec", "dir", "run", "part", "chunk")
STATUS_ORDER = ("PASS", "WARN", "FLAG", "ERROR")


def report_paths(out_dir):
    """Relative paths of the per-run reports under sub-*/[ses-*/]dwi/, in path order."""
    found = []
    for dirpath, dirnames, filenames in os.walk(out_dir):
        rel = os.path.relpath(dirpath, out_dir).replace(os.sep, "/")
        depth = 0 if rel == "." else rel.count("/") + 1
        if depth == 0:
            dirnames[:] = [d for d in dirnames if d.startswith("sub-")]
        else:
            dirnames[:] = [d for d in dirnames if d.startswith("ses-") or d == "dwi"]
        if rel.endswith("dwi") and depth >= 2:
            found += [f"{rel}/{f}" for f in filenames if f.endswith(outputs.REPORT)]
    return sorted(found, key=lambda p: p.split("/"))


class Row:
    """The little a group keeps of one report (slots, shared strings, packed scores)."""

    __slots__ = ("id", "report", "thumb", "qc", "entities", "status", "best_label",
                 "relative_margin", "given_rank", "error", "protocol", "kind", "scores",
                 "threshold")

    def __init__(self, **values):
        for key in self.__slots__:
            setattr(self, key, values.get(key))

    def __getitem__(self, key):
        return getattr(self, key)


def row_of(report, rel, fields):
    """The Row of one report; its protocol's fields go into `fields` once per protocol."""
    bids = report.get("bids") or {}
    summary = evidence.summary(report)
    kind, scores, threshold = evidence.scores(report) if report.get("status") != "ERROR" else (
        None, {}, None)
    proto = bids.get("protocol") or {}
    key = sys.intern(proto.get("key") or "n/a")
    if report.get("status") != "ERROR":
        fields.setdefault(key, {k: v for k, v in proto.items() if k != "key"})
    written = set(bids.get("outputs") or [])
    stem = rel[: -len(outputs.REPORT)]
    intern = lambda v: sys.intern(v) if isinstance(v, str) else v  # noqa: E731
    return Row(
        id=bids.get("source") or rel, report=rel,
        thumb=stem + outputs.THUMB if stem + outputs.THUMB in written else None,
        qc=stem + outputs.QC if stem + outputs.QC in written else None,
        entities=tuple((intern(k), intern(v)) for k, v in (bids.get("entities") or {}).items()),
        status=intern(report.get("status")), best_label=intern(summary["best_label"]),
        relative_margin=summary["relative_margin"], given_rank=summary["given_rank"],
        error=report.get("error"), protocol=key, kind=intern(kind),
        scores=evidence.packed(scores), threshold=threshold)


def collect(out):
    """(rows, protocol fields by key, unreadable reports) for every report under the OutputDir.

    A report that cannot be read safely (see OutputDir.read_checked), is not strict JSON of
    bounded depth, or holds fields of the wrong type is listed with the reason, and the level
    goes on without it.
    """
    rows, fields, unreadable = [], {}, []
    for rel in report_paths(out.path):
        try:
            report = safe_read.loads(out.read_checked(rel, safe_read.REPORT_CAP))
            if not isinstance(report, dict):
                raise ValueError("is not a JSON object")
            found = {}
            row = row_of(report, rel, found)
            check_row(row, found)
        except (OSError, ValueError, ArithmeticError, AttributeError, KeyError, TypeError) as e:
            unreadable.append({"report": rel, "error": str(e)})
        else:
            rows.append(row)
            for key, value in found.items():
                fields.setdefault(key, value)
        report = None
    return rows, fields, unreadable


def _is(value, *types):
    return value is None or (isinstance(value, types) and not isinstance(value, bool))


def check_row(row, fields):
    """Raises ValueError naming the first field of a row that a report could not have written."""
    if row.status not in STATUS_ORDER:
        raise ValueError(f"has the status {row.status!r}, not one of {', '.join(STATUS_ORDER)}")
    for name in ("relative_margin", "threshold"):
        value = row[name]
        if not _is(value, int, float) or (value is not None and not math.isfinite(value)):
            raise ValueError(f"has a {name} that is not a finite number: {value!r}")
    if not _is(row.given_rank, int):
        raise ValueError(f"has a given_rank that is not a whole number: {row.given_rank!r}")
    for name in ("id", "best_label", "error", "kind"):
        if not _is(row[name], str):
            raise ValueError(f"has a {name} that is not text: {row[name]!r}")
    if not all(isinstance(k, str) and isinstance(v, str) for k, v in row.entities):
        raise ValueError("has entities that are not text")
    if not all(math.isfinite(x) or math.isnan(x) for x in row.scores):
        raise ValueError("has candidate scores that are not finite numbers")
    for proto in fields.values():
        if not all(isinstance(v, (str, int, float, type(None))) and not isinstance(v, bool)
                   for v in proto.values()):
            raise ValueError("has protocol fields that are not text or numbers")


def _fmt(v):
    if v is None:
        return "n/a"
    if isinstance(v, float):
        return repr(v)
    return str(v).replace("\t", " ").replace("\n", " ")


def tsv_lines(rows):
    present = {k for r in rows for k, _ in r.entities}
    keys = [k for k in ENTITY_ORDER if k in present] + sorted(present - set(ENTITY_ORDER))
    yield "\t".join(keys + ["status", "best_label", "relative_margin", "given_rank",
                            "protocol"]) + "\n"
    for r in rows:
        entities = dict(r.entities)
        yield "\t".join([_fmt(entities.get(k)) for k in keys] + [
            _fmt(r.status), _fmt(r.best_label), _fmt(r.relative_margin), _fmt(r.given_rank),
            _fmt(None if r.status == "ERROR" else r.protocol)]) + "\n"


def summarize(rows, fields, unreadable, bids_dir):
    """The dataset summary without its per-run results (see `results`), and protocol ids by key."""
    counts = {s: 0 for s in STATUS_ORDER}
    for r in rows:
        counts[r["status"]] = counts.get(r["status"], 0) + 1
    present = [s for s in STATUS_ORDER if counts.get(s)]
    # A run that could not be audited has no acquisition facts worth grouping by.
    verdicts = consensus.protocols([r for r in rows if r["status"] != "ERROR"])
    ids, protocols = {}, []
    for n, v in enumerate(verdicts, 1):
        members = set(v.pop("runs"))
        key = v.pop("protocol")
        ids[key] = f"P{n}"
        member_counts = {s: 0 for s in STATUS_ORDER}
        for r in rows:
            if r["id"] in members:
                member_counts[r["status"]] = member_counts.get(r["status"], 0) + 1
        protocols.append({"id": ids[key], "key": key, "fields": fields.get(key, {}),
                          "counts": member_counts, **v})
    summary = {
        "tool": "orivex",
        "tool_version": _orivex.version(),
        "bids_dir": bids_dir,
        "n_runs": len(rows),
        "status": present[-1] if present else None,
        "counts": counts,
        "protocols": protocols,
        "unreadable_reports": unreadable,
    }
    return summary, ids


def results(rows, ids):
    """The per-run results of the summary, one at a time."""
    for r in rows:
        yield {
            "path": r.id, "entities": dict(r.entities), "status": r.status,
            "best_label": r.best_label, "relative_margin": r.relative_margin,
            "given_rank": r.given_rank,
            "protocol": ids.get(r.protocol) if r.status != "ERROR" else None,
            "report": r.report, "qc": r.qc, **({"error": r.error} if r.error else {}),
        }


def write_summary(f, summary, items):
    """dataset_summary.json: the summary, then `results`, one run per line."""
    head = safe_read.dumps(summary, indent=2)
    f.write((head[:-2] + ',\n  "results": [').encode("utf-8"))
    sep = "\n    "
    for item in items:
        f.write((sep + safe_read.dumps(item)).encode("utf-8"))
        sep = ",\n    "
    f.write(("\n  ]\n}\n" if sep != "\n    " else "]\n}\n").encode("utf-8"))


def group(out, bids_dir):
    """Writes the three group files into the OutputDir `out`; returns the summary."""
    rows, fields, unreadable = collect(out)
    summary, ids = summarize(rows, fields, unreadable, bids_dir)
    with out.atomic(outputs.SUMMARY) as f:
        write_summary(f, summary, results(rows, ids))
    with out.atomic(outputs.TSV) as f:
        for line in tsv_lines(rows):
            f.write(line.encode("utf-8"))
    thumbs = {r.id: r.thumb for r in rows if r.thumb}
    with out.atomic(outputs.HTML) as f:
        html.write(f, summary, results(rows, ids),
                   lambda path: out.read(thumbs[path], safe_read.THUMB_CAP) if path in thumbs
                   else None)
    return summary
