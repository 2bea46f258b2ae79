"""The group level: every per-run report under OUTPUT_DIR, wherever it was written, summarised.

Writes dataset_summary.json, group_orientation.tsv (one row per run) and orivex_report.html.
Each report is read once and reduced to a small row (entities, status, evidence scores, protocol)
before the next is read, so memory follows the number of runs, not the size of their reports.
"""

import json
import os

import _orivex

from orivex.bidsapp import consensus, evidence, html, outputs

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


def row_of(report, rel):
    """The little a group needs from one report."""
    bids = report.get("bids") or {}
    summary = evidence.summary(report)
    kind, scores, threshold = evidence.scores(report) if report.get("status") != "ERROR" else (
        None, {}, None)
    proto = bids.get("protocol") or {}
    written = set(bids.get("outputs") or [])
    thumb = rel[: -len(outputs.REPORT)] + outputs.THUMB
    return {
        "id": bids.get("source") or rel,
        "report": rel,
        "thumb": thumb if thumb in written else None,
        "entities": bids.get("entities") or {},
        "status": report.get("status"),
        "best_label": summary["best_label"],
        "relative_margin": summary["relative_margin"],
        "given_rank": summary["given_rank"],
        "error": report.get("error"),
        "protocol": proto.get("key") or "n/a",
        "protocol_fields": {k: v for k, v in proto.items() if k != "key"},
        "kind": kind,
        "scores": scores,
        "threshold": threshold,
    }


def collect(out_dir):
    """(rows, unreadable) for every report under out_dir."""
    rows, unreadable = [], []
    for rel in report_paths(out_dir):
        try:
            with open(os.path.join(out_dir, rel), encoding="utf-8") as f:
                report = json.load(f)
            rows.append(row_of(report, rel))
        except (OSError, ValueError, AttributeError, KeyError, TypeError) as e:
            unreadable.append({"report": rel, "error": str(e)})
    return rows, unreadable


def _fmt(v):
    if v is None:
        return "n/a"
    if isinstance(v, float):
        return repr(v)
    return str(v).replace("\t", " ").replace("\n", " ")


def tsv(rows):
    keys = [k for k in ENTITY_ORDER if any(k in r["entities"] for r in rows)]
    keys += sorted({k for r in rows for k in r["entities"]} - set(keys))
    header = keys + ["status", "best_label", "relative_margin", "given_rank", "protocol"]
    lines = ["\t".join(header)]
    for r in rows:
        lines.append("\t".join([_fmt(r["entities"].get(k)) for k in keys] + [
            _fmt(r["status"]), _fmt(r["best_label"]), _fmt(r["relative_margin"]),
            _fmt(r["given_rank"]), _fmt(None if r["status"] == "ERROR" else r["protocol"])]))
    return "\n".join(lines) + "\n"


def summarize(rows, unreadable, bids_dir):
    counts = {s: 0 for s in STATUS_ORDER}
    for r in rows:
        counts[r["status"]] = counts.get(r["status"], 0) + 1
    present = [s for s in STATUS_ORDER if counts.get(s)]
    # A run that could not be audited has no acquisition facts worth grouping by.
    verdicts = consensus.protocols([r for r in rows if r["status"] != "ERROR"])
    ids = {}
    fields = {}
    for r in rows:
        if r["status"] != "ERROR":
            fields.setdefault(r["protocol"], r["protocol_fields"])
    protocols = []
    for n, v in enumerate(verdicts, 1):
        pid = f"P{n}"
        members = set(v.pop("runs"))
        key = v.pop("protocol")
        ids[key] = pid
        member_counts = {s: 0 for s in STATUS_ORDER}
        for r in rows:
            if r["id"] in members:
                member_counts[r["status"]] = member_counts.get(r["status"], 0) + 1
        protocols.append({"id": pid, "key": key, "fields": fields[key], "counts": member_counts,
                          **v})
    results = [{
        "path": r["id"], "entities": r["entities"], "status": r["status"],
        "best_label": r["best_label"], "relative_margin": r["relative_margin"],
        "given_rank": r["given_rank"],
        "protocol": ids.get(r["protocol"]) if r["status"] != "ERROR" else None, "report": r["report"],
        **({"error": r["error"]} if r["error"] else {}),
    } for r in rows]
    return {
        "tool": "orivex",
        "tool_version": _orivex.version(),
        "bids_dir": bids_dir,
        "n_runs": len(rows),
        "status": present[-1] if present else None,
        "counts": counts,
        "protocols": protocols,
        "unreadable_reports": unreadable,
        "results": results,
    }


def group(out, bids_dir):
    """Writes the three group files into the OutputDir `out`; returns the summary."""
    rows, unreadable = collect(out.path)
    summary = summarize(rows, unreadable, bids_dir)
    out.write(outputs.SUMMARY, json.dumps(summary, indent=2, ensure_ascii=False) + "\n")
    out.write(outputs.TSV, tsv(rows))
    by_id = {r["id"]: r["thumb"] for r in rows}
    with out.atomic(outputs.HTML) as f:
        html.write(f, summary, lambda path: out.read(by_id[path]) if by_id.get(path) else None)
    return summary
