"""A report's per-candidate evidence, reduced to the 24 distinct axis corrections.

A correction and its negation describe one frame (a tensor's principal direction has no sign),
so "-x+y+z" and "+x-y-z" are one candidate; it is named by the member with fewer minus signs.
Tracking reports give mean track lengths per candidate, coherence reports a coherence per
signed permutation; both are "larger is better" scores.
"""

import itertools
import math
from array import array
from dataclasses import asdict, dataclass
from typing import Optional

from orivex.report import Status

IDENTITY = "+x+y+z"
COHERENCE_THRESHOLD = 0.02  # the coherence decision's default margin, for reports without one


def canonical(label):
    """The name of a correction's ± pair: "+x-y-z" -> "-x+y+z", "-x-y-z" -> "+x+y+z"."""
    if not label or len(label) != 6:
        return label
    minus = label[0::2].count("-")
    if minus <= 1:
        return label
    flipped = "".join(("-" if s == "+" else "+") + a for s, a in zip(label[0::2], label[1::2]))
    return flipped


def _labels():
    out = set()
    for axes in itertools.permutations("xyz"):
        for signs in itertools.product("+-", repeat=3):
            out.add(canonical("".join(s + a for s, a in zip(signs, axes))))
    return tuple(sorted(out))


LABELS = _labels()


def packed(score_map):
    """Scores as 24 doubles in LABELS order (NaN where a label is missing): a few hundred bytes
    per run where a group holds thousands."""
    return array("d", (score_map.get(label, math.nan) for label in LABELS))


def _best_per_pair(pairs):
    out = {}
    for label, value in pairs:
        if not math.isnan(value):
            key = canonical(label)
            out[key] = max(out.get(key, -math.inf), value)
    return out


def scores(report):
    """(kind, {canonical label: score}, threshold) of a Report, or (None, {}, None)."""
    if report.tracking is not None and report.tracking.candidates:
        out = _best_per_pair((c.label, c.mean_length_mm) for c in report.tracking.candidates)
        return "tracking", out, report.verdict.evidence.margin_threshold
    if report.flip is not None and report.flip.ranking:
        out = _best_per_pair((c.label, c.coherence) for c in report.flip.ranking)
        return "coherence", out, report.flip.margin_threshold or COHERENCE_THRESHOLD
    return None, {}, None


def ranked(score_map):
    """Labels best first; ties keep the identity ahead, then label order, so ranks are stable."""
    return sorted(score_map, key=lambda k: (-score_map[k], k != IDENTITY, k))


@dataclass(frozen=True)
class RunSummary:
    """What one line, one TSV row and the group page say about a run.

    `status` is PASS, WARN, FLAG or ERROR; `best_label` is the correction of a FLAG, else the
    best-scoring candidate; `given_rank` ranks the table as given (1 = best).
    """

    status: str
    best_label: Optional[str] = None
    relative_margin: Optional[float] = None
    given_rank: Optional[int] = None
    evidence: Optional[str] = None
    error: Optional[str] = None

    def to_dict(self):
        out = asdict(self)
        if out["error"] is None:
            del out["error"]
        return out


def _finite(v):
    return None if v is None or math.isnan(v) else v


def summary(report):
    """The RunSummary of a Report: the verdict speaks for itself when the report has one,
    otherwise the coherence decision and ranking do."""
    kind, score_map, _ = scores(report)
    order = ranked(score_map)
    best = order[0] if order else None
    rank = order.index(IDENTITY) + 1 if IDENTITY in order else None
    decided = report.verdict or report.flip
    margin = None
    if report.verdict is not None:
        rank = report.verdict.given_rank
    if decided is not None:
        margin = _finite(decided.relative_margin)
        if decided.decision == Status.FLAG and decided.recommended_label:
            best = decided.recommended_label
        elif report.verdict is None:
            best = canonical(report.flip.best.label)
    return RunSummary(report.status.value, best, margin, rank, kind)


def error_summary(message):
    return RunSummary("ERROR", error=message)


def volume_pattern(report):
    """The volume check's pattern of a run's report; None when it was not checked (or has no
    such section: coherence evidence, a table-only audit)."""
    v = report.volumes
    return v.pattern if v is not None and v.checked else None
