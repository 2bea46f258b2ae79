"""A report's per-candidate evidence, reduced to the 24 distinct axis corrections.

A correction and its negation describe one frame (a tensor's principal direction has no sign),
so "-x+y+z" and "+x-y-z" are one candidate; it is named by the member with fewer minus signs.
Tracking reports give mean track lengths per candidate, coherence reports a coherence per
signed permutation; both are "larger is better" scores.
"""

import itertools
import math
from array import array

IDENTITY = "+x+y+z"
TRACKING_THRESHOLD = 0.05  # the tracking verdict's default relative margin
COHERENCE_THRESHOLD = 0.02


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


def packed(score_map):
    """Scores as 24 doubles in LABELS order (NaN where a label is missing): a few hundred bytes
    per run where a group holds thousands."""
    return array("d", (score_map.get(label, math.nan) for label in LABELS))


def scores(report):
    """(kind, {canonical label: score}, threshold) of a report, or (None, {}, None)."""
    tracking = report.get("tracking")
    if isinstance(tracking, dict) and tracking.get("candidates"):
        out = {}
        for c in tracking["candidates"]:
            value = c.get("mean_length")
            if isinstance(value, (int, float)):
                label = canonical(c["label"])
                out[label] = max(out.get(label, float("-inf")), float(value))
        return "tracking", out, TRACKING_THRESHOLD
    flip = report.get("flip")
    if isinstance(flip, dict) and flip.get("ranking"):
        out = {}
        for c in flip["ranking"]:
            value = c.get("coherence")
            if isinstance(value, (int, float)):
                label = canonical(c["label"])
                out[label] = max(out.get(label, float("-inf")), float(value))
        threshold = flip.get("margin_threshold") or COHERENCE_THRESHOLD
        return "coherence", out, threshold
    return None, {}, None


LABELS = _labels()


def ranked(score_map):
    """Labels best first; ties keep the identity ahead, then label order, so ranks are stable."""
    return sorted(score_map, key=lambda k: (-score_map[k], k != IDENTITY, k))


def summary(report):
    """What one line, one TSV row and the group page say about a run.

    Keys: status, best_label, relative_margin, given_rank, evidence (kind). The verdict, when the
    report has one, speaks for itself; otherwise the coherence decision and ranking do.
    """
    kind, score_map, _ = scores(report)
    order = ranked(score_map)
    out = {
        "status": report.get("status"),
        "best_label": order[0] if order else None,
        "relative_margin": None,
        "given_rank": order.index(IDENTITY) + 1 if IDENTITY in order else None,
        "evidence": kind,
    }
    verdict = report.get("verdict")
    flip = report.get("flip")
    if isinstance(verdict, dict):
        out["relative_margin"] = verdict.get("relative_margin")
        if verdict.get("given_rank") is not None:
            out["given_rank"] = verdict["given_rank"]
    elif isinstance(flip, dict):
        out["relative_margin"] = flip.get("relative_margin")
        if flip.get("best"):
            out["best_label"] = canonical(flip["best"]["label"])
    return out
