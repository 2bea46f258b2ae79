"""The group level: every per-run report under OUTPUT_DIR, wherever it was written, summarised.

Writes dataset_summary.json, group_orientation.tsv (one row per run, BIDS column names) with its
group_orientation.json sidecar, and orivex_report.html.
Each report is read once and reduced to a small row (entities, status, evidence scores, protocol)
before the next is read, so memory follows the number of runs, not the size of their reports.
"""

import json
import math
import os
import sys

from orivex import api
from orivex.bidsapp import consensus, evidence, html, outputs, safe_read
from orivex.report import BidsSummary, RunError, read_run_report

ENTITY_ORDER = ("sub", "ses", "acq", "rec", "dir", "run", "part", "chunk")
STATUS_ORDER = ("PASS", "WARN", "FLAG", "ERROR")
# The summary this level has just written: one line per run, so it grows with the dataset.
SUMMARY_CAP = 1 << 30


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
                 "threshold", "volumes")

    def __init__(self, **values):
        for key in self.__slots__:
            setattr(self, key, values.get(key))

    def __getitem__(self, key):
        return getattr(self, key)


def row_of(report, rel, fields):
    """The Row of one per-run report (a Report or a RunError); its protocol's fields go into
    `fields` once per protocol."""
    bids = report.bids
    failed = isinstance(report, RunError)
    if failed:
        summary, (kind, scores, threshold) = evidence.error_summary(report.error), (None, {}, None)
    else:
        summary, (kind, scores, threshold) = evidence.summary(report), evidence.scores(report)
    key = sys.intern(bids.protocol_key)
    if not failed:
        fields.setdefault(key, dict(bids.protocol))
    written = set(bids.outputs)
    stem = rel[: -len(outputs.REPORT)]
    intern = lambda v: sys.intern(v) if isinstance(v, str) else v  # noqa: E731
    return Row(
        id=bids.source or rel, report=rel,
        thumb=stem + outputs.THUMB if stem + outputs.THUMB in written else None,
        qc=stem + outputs.QC if stem + outputs.QC in written else None,
        entities=tuple((intern(k), intern(v)) for k, v in bids.entities),
        status=intern(summary.status), best_label=intern(summary.best_label),
        relative_margin=summary.relative_margin, given_rank=summary.given_rank,
        error=summary.error, protocol=key, kind=intern(kind),
        scores=evidence.packed(scores), threshold=threshold,
        volumes=None if failed else evidence.volume_pattern(report))


def collect(out):
    """(rows, protocol fields by key, unreadable reports) for every report under the OutputDir.

    A report that cannot be read safely (see OutputDir.read_checked), is not strict JSON of
    bounded depth, or holds fields of the wrong type is listed with the reason, and the level
    goes on without it.
    """
    rows, fields, unreadable = [], {}, []
    for rel in report_paths(out.path):
        try:
            text = out.read_checked(rel, safe_read.REPORT_CAP).decode("utf-8")
            found = {}
            row = row_of(read_run_report(text, loads=safe_read.loads), rel, found)
            check_row(row, found)
        except (OSError, ValueError, ArithmeticError, AttributeError, KeyError, TypeError) as e:
            unreadable.append({"report": rel, "error": str(e)})
        else:
            rows.append(row)
            for key, value in found.items():
                fields.setdefault(key, value)
    return rows, fields, unreadable


def _is(value, *types):
    return value is None or (isinstance(value, types) and not isinstance(value, bool))


def check_row(row, fields):
    """Raises ValueError naming the first field of a row that a report could not have written."""
    if row.status not in STATUS_ORDER:
        raise ValueError(f"its status {row.status!r} is not one of {', '.join(STATUS_ORDER)}")
    for name in ("relative_margin", "threshold"):
        value = row[name]
        if not _is(value, int, float) or (value is not None and not math.isfinite(value)):
            raise ValueError(f"its {name} is not a finite number: {value!r}")
    if not _is(row.given_rank, int):
        raise ValueError(f"its given_rank is not a whole number: {row.given_rank!r}")
    for name in ("id", "best_label", "error", "kind"):
        if not _is(row[name], str):
            raise ValueError(f"its {name} is not text: {row[name]!r}")
    if not all(isinstance(k, str) and isinstance(v, str) for k, v in row.entities):
        raise ValueError("its entities are not text")
    if not all(math.isfinite(x) or math.isnan(x) for x in row.scores):
        raise ValueError("its candidate scores are not finite numbers")
    for proto in fields.values():
        if not all(isinstance(v, (str, int, float, type(None))) and not isinstance(v, bool)
                   for v in proto.values()):
            raise ValueError("its protocol fields are not text or numbers")


def _fmt(v):
    if v is None:
        return "n/a"
    if isinstance(v, float):
        return repr(v)
    return str(v).replace("\t", " ").replace("\n", " ")


# Entity keys by the column names BIDS gives them; the subject and session columns hold the
# full labels ("sub-01", "ses-1"), as participants.tsv and sessions.tsv do.
ENTITY_COLUMNS = {"sub": "participant_id", "ses": "session_id", "task": "task",
                  "acq": "acquisition", "ce": "ceagent", "rec": "reconstruction",
                  "dir": "direction", "run": "run", "echo": "echo", "part": "part",
                  "chunk": "chunk"}
ENTITY_NAMES = {"acquisition": "Acquisition label", "ceagent": "Contrast agent label",
                "reconstruction": "Reconstruction label", "direction": "Phase-encoding direction label",
                "run": "Run index", "echo": "Echo index", "part": "Part label", "chunk": "Chunk index",
                "task": "Task label"}
RESULT_COLUMNS = {
    "status": {"LongName": "Run status", "Description": "The outcome of the run's audit.",
               "Levels": {"PASS": "the table agrees with the image",
                          "WARN": "ambiguous evidence or a questionable scheme",
                          "FLAG": "the table's axes are flipped or swapped; best_label corrects it",
                          "ERROR": "the run could not be audited (its report says why)"}},
    "best_label": {"LongName": "Best axis assignment",
                   "Description": "For a FLAG the correction to apply, otherwise the best-scoring "
                   "candidate: the signed source axis of each output axis (\"-x+y+z\" negates x, "
                   "\"+y+x+z\" swaps x and y)."},
    "relative_margin": {"LongName": "Relative margin",
                        "Description": "How far the decision's best candidate leads the "
                        "runner-up, as a fraction of its score."},
    "given_rank": {"LongName": "Rank of the table as given",
                   "Description": "Where the gradient table as given ranks among the 24 distinct "
                   "axis assignments (1 = best)."},
    "volumes": {"LongName": "Volume check",
                "Description": "What checking every diffusion-weighted volume against its own row "
                "of the table found (n/a: not checked, too few directions, or no image evidence).",
                "Levels": {"none": "every volume fits its row",
                           "partial_flip": "some volumes fit their rows only under other axes",
                           "swapped_rows": "some volumes fit each other's rows",
                           "shifted_rows": "every volume fits the row of its neighbour in the "
                                           "series",
                           "b_value": "some volumes fit their rows at another b-value",
                           "foreign_table": "the table does not describe this series"}},
    "protocol": {"LongName": "Protocol",
                 "Description": "ID of the acquisition protocol the run shares with others "
                 "(manufacturer, model, software, phase encoding, image orientation and shells); "
                 "dataset_summary.json gives each protocol's facts and pooled verdict."},
}


def _entity_keys(rows):
    present = {k for r in rows for k, _ in r.entities}
    return [k for k in ENTITY_ORDER if k in present] + sorted(present - set(ENTITY_ORDER))


def _column(key):
    return ENTITY_COLUMNS.get(key, key)


def _entity_value(key, value):
    return None if value is None else f"{key}-{value}" if key in ("sub", "ses") else value


def tsv_lines(rows, ids):
    keys = _entity_keys(rows)
    yield "\t".join([_column(k) for k in keys] + list(RESULT_COLUMNS)) + "\n"
    for r in rows:
        entities = dict(r.entities)
        proto = None if r.status == "ERROR" else ids.get(r.protocol)
        yield "\t".join([_fmt(_entity_value(k, entities.get(k))) for k in keys] + [
            _fmt(r.status), _fmt(r.best_label), _fmt(r.relative_margin), _fmt(r.given_rank),
            _fmt(r.volumes), _fmt(proto)]) + "\n"


def tsv_sidecar(rows):
    """group_orientation.json: what each column of the TSV holds, as BIDS asks of tables."""
    doc = {}
    for k in _entity_keys(rows):
        column = _column(k)
        if column == "participant_id":
            doc[column] = {"Description": "Participant label, with its sub- prefix."}
        elif column == "session_id":
            doc[column] = {"Description": "Session label, with its ses- prefix."}
        else:
            doc[column] = {"Description": ENTITY_NAMES.get(column, f"The {k}- entity") +
                           " of the run's file name."}
    doc.update(RESULT_COLUMNS)
    return json.dumps(doc, indent=2, ensure_ascii=False) + "\n"


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
        "tool_version": api.version(),
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
            "given_rank": r.given_rank, "volumes": r.volumes,
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
    """Writes the group files into the OutputDir `out`; returns the BidsSummary."""
    out.write(outputs.DESCRIPTION, outputs.dataset_description(bids_dir, api.version()))
    rows, fields, unreadable = collect(out)
    summary, ids = summarize(rows, fields, unreadable, bids_dir)
    with out.atomic(outputs.SUMMARY) as f:
        write_summary(f, summary, results(rows, ids))
    with out.atomic(outputs.TSV) as f:
        for line in tsv_lines(rows, ids):
            f.write(line.encode("utf-8"))
    out.write(outputs.TSV_SIDECAR, tsv_sidecar(rows))
    thumbs = {r.id: r.thumb for r in rows if r.thumb}
    typed = BidsSummary.from_json(out.read_checked(outputs.SUMMARY, SUMMARY_CAP).decode("utf-8"))
    with out.atomic(outputs.HTML) as f:
        html.write(f, typed, lambda path: out.read(thumbs[path], safe_read.THUMB_CAP)
                   if path in thumbs else None)
    return typed
