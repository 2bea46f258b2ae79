"""Consensus per protocol: the runs of one acquisition pooled into one orientation verdict.

Runs that share scanner, software, phase encoding, image orientation and shells share their
gradient table's frame, so a sign or axis error is a property of the protocol: one run's thin
evidence is weak, eight runs agreeing are not. Runs whose own evidence disagrees with their
protocol's verdict are listed: a table re-exported by hand among correct ones.

Pooling, per protocol and per kind of evidence (track length or coherence):
- each run scores the 24 candidates; in logs, a candidate's score relative to the run's best;
- the protocol's best candidate has the largest median relative score; each run's margin is
  log(its score for that candidate / its best other score), and the protocol's margin is the
  median of those (robust to a few disagreeing runs);
- independent runs add evidence as √n does for a mean: the combined margin is the median
  margin times √n, with n capped at 16, since beyond that a shared bias of the protocol (not
  noise) is what the runs would be averaging;
- PASS or FLAG when the combined relative margin reaches the per-run threshold of that evidence
  and at least three quarters of the runs prefer the protocol's candidate; WARN otherwise. A
  single run is judged exactly as on its own.
- A run disagrees when its own best differs from the protocol's candidate by a relative margin
  of at least a quarter of the threshold (the least the pooling can resolve).

The volume check is a property of each run's table, not pooled: a protocol counts its runs by
the pattern found (`volume_patterns`, "none" for runs whose volumes all fit their rows).
"""

import math
import statistics
from array import array

from orivex.bidsapp.evidence import IDENTITY, LABELS, packed, ranked

MAX_POOLED = 16
AGREEMENT = 0.75


def _rel(log_margin):
    return 1.0 - math.exp(-log_margin)


def _log(score):
    return math.log(max(score, 1e-12))


def pool(runs, threshold):
    """The verdict of one protocol from its runs' evidence.

    `runs` is a list of (run id, scores), the scores a {candidate label: score} map or packed
    (`evidence.packed`); candidates missing from any run are left out. Returns a dict: decision,
    best_label, runner_up, relative_margin (the median per-run margin), combined_margin,
    agreement, n_runs, threshold, outliers. Per run it keeps 24 doubles, whatever the count.
    """
    vectors = [(rid, s if isinstance(s, array) else packed(s)) for rid, s in runs]
    present = [i for i in range(len(LABELS))
               if vectors and all(not math.isnan(v[i]) for _, v in vectors)]
    if len(present) < 2:
        return {"decision": None, "best_label": None, "runner_up": None, "relative_margin": None,
                "combined_margin": None, "agreement": None, "n_runs": len(runs),
                "threshold": threshold, "outliers": []}
    labels = [LABELS[i] for i in present]
    logs = [(rid, array("d", (_log(v[i]) for i in present))) for rid, v in vectors]
    tops = [max(lv) for _, lv in logs]
    relative = {c: statistics.median(lv[j] - top for (_, lv), top in zip(logs, tops))
                for j, c in enumerate(labels)}
    order = ranked(relative)
    best, runner = labels.index(order[0]), order[1]
    margins = [lv[best] - max(v for j, v in enumerate(lv) if j != best) for _, lv in logs]
    median = statistics.median(margins)
    n = len(logs)
    combined = median * math.sqrt(min(n, MAX_POOLED))
    agreement = sum(m > 0 for m in margins) / n
    decisive = median > 0 and _rel(combined) >= threshold and agreement >= AGREEMENT
    decision = ("PASS" if order[0] == IDENTITY else "FLAG") if decisive else "WARN"
    outliers = []
    if decisive:
        floor = -math.log(1.0 - threshold / 4)
        for (rid, lv), top in zip(logs, tops):
            own = ranked({c: lv[j] for j, c in enumerate(labels)})[0]
            if own != order[0] and top - lv[best] >= floor:
                outliers.append({"run": rid, "best_label": own,
                                 "relative_margin": _rel(top - lv[best])})
    return {"decision": decision, "best_label": order[0], "runner_up": runner,
            "relative_margin": _rel(median), "combined_margin": _rel(combined),
            "agreement": agreement, "n_runs": n, "threshold": threshold, "outliers": outliers}


def _volumes(row):
    # Rows made before the volume check (or by hand) carry no pattern.
    try:
        return row["volumes"]
    except (KeyError, AttributeError):
        return None


def protocols(rows):
    """Verdicts of every protocol among `rows` (dicts with id, protocol, kind, scores, threshold,
    volumes).

    Runs without evidence (errors) count in n_total but are not pooled. Where a protocol mixes
    kinds of evidence, the tracking runs are pooled: the two kinds' scores are not comparable.
    Returns a list sorted by protocol key.
    """
    groups = {}
    for row in rows:
        groups.setdefault(row["protocol"], []).append(row)
    out = []
    for key in sorted(groups):
        members = groups[key]
        kinds = {r["kind"] for r in members if r["kind"]}
        kind = "tracking" if "tracking" in kinds else ("coherence" if kinds else None)
        pooled = [r for r in members if r["kind"] == kind and r["scores"]]
        threshold = max((r["threshold"] for r in pooled), default=None)
        verdict = pool([(r["id"], r["scores"]) for r in pooled], threshold or 0.0)
        patterns = {}
        for r in members:
            pattern = _volumes(r)
            if pattern is not None:
                patterns[pattern] = patterns.get(pattern, 0) + 1
        verdict.update(protocol=key, evidence=kind, n_total=len(members),
                       volume_patterns=dict(sorted(patterns.items())),
                       runs=[r["id"] for r in members])
        out.append(verdict)
    return out
