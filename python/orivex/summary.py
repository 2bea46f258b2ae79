"""Readable summaries of Reports for the terminal."""

import os

from orivex.api import MARGIN_THRESHOLD


def _g(v):
    return _f(v, "{:g}")


def _f(v, fmt="{:.4f}"):
    # A null measurement (NaN, infinite) reads back as NaN.
    return "n/a" if v is None or v != v else fmt.format(v)


def _shells(report):
    shells = report.shells
    if shells is None:
        return []
    angular = {a.nominal_b: a for a in (report.angular.shells if report.angular else ())}
    lines = ["shells (tolerance {}, b0 at or below {}):".format(_g(shells.tolerance), _g(shells.b0_threshold))]
    lines.append("  {:>8}  {:>5}  {:>10}  {:>8}  {:>9}  {:>3}  {:>3}".format(
        "b", "count", "mean b", "cond", "energy", "DTI", "CSD"))
    for s in shells.shells:
        a = angular.get(s.nominal_b) if not s.is_b0 else None
        if a is None:
            lines.append("  {:>8}  {:>5}  {:>10}  {:>8}  {:>9}  {:>3}  {:>3}".format(
                "b0" if s.is_b0 else _g(s.nominal_b), s.count, _f(s.mean_b, "{:.2f}"),
                "", "", "", ""))
        else:
            dti = "ok" if a.meets_dti_recommended else ("min" if a.meets_dti_minimum else "no")
            lines.append("  {:>8}  {:>5}  {:>10}  {:>8}  {:>9}  {:>3}  {:>3}".format(
                _g(s.nominal_b), s.count, _f(s.mean_b, "{:.2f}"),
                _f(a.condition_number, "{:.2f}"), _f(a.electrostatic_energy, "{:.1f}"),
                dti, "ok" if a.meets_csd_minimum else "no"))
    if angular:
        lines.append("  (cond: condition number of the tensor fit, lower is better; energy: electrostatic")
        lines.append("   energy of the directions, lower is more uniform; DTI/CSD: enough directions: ok/min/no)")
    return lines


LABEL_LEGEND = ["  (labels: the signed source axis of each output axis: \"-x+y+z\" negates x, \"+y+x+z\"",
                "   swaps x and y; a table and its negation are one candidate)"]


def _negated(label):
    return label.translate(str.maketrans("+-", "-+"))


def distinct_candidates(ranking):
    """The ranking with one row per ± pair (both members score alike), the identity's name kept
    for its pair so the table as given reads as given."""
    rows, where = [], {}
    for c in ranking:
        key = min(c.label, _negated(c.label))
        if key not in where:
            where[key] = len(rows)
            rows.append(c)
        elif c.is_identity:
            rows[where[key]] = c
    return rows


def _flip(report, threshold, verbose=False):
    flip = report.flip
    if flip is None:
        return []
    beside = report.verdict is not None
    title = "coherence, shown beside the verdict" if beside else "flip detection"
    rows = distinct_candidates(flip.ranking)
    given = next((n for n, c in enumerate(rows, 1) if c.is_identity), None)
    lines = [
        "{} (shell b={}, {} coherence-mask voxels, mean FA {}):".format(
            title, _g(flip.working_b), flip.n_wm_voxels, _f(flip.mask_mean_fa, "{:.3f}")),
        "  {:>4}  {:<8}  {:>10}  {:>8}".format("rank", "label", "coherence", "samples"),
    ]
    for n, c in enumerate(rows, 1):
        if not (verbose or n <= 5 or n == given):
            continue
        mark = "  <- as given" if c.is_identity else ""
        lines.append("  {:>4}  {:<8}  {:>10}  {:>8}{}".format(
            n, c.label, _f(c.coherence, "{:.6f}"), c.n_samples, mark))
    lines.append("  the table as given ranks {} of {}".format(given, len(rows)))
    used = flip.margin_threshold
    if used is None:
        used = MARGIN_THRESHOLD if threshold is None else threshold
    lines.append("  best {} vs runner-up {}: margin {} (relative {}) against threshold {:g}% -> {}".format(
        flip.best.label, flip.runner_up.label, _f(flip.margin, "{:.6f}"),
        _f(100 * flip.relative_margin, "{:.2f}%"), 100 * used, flip.decision.value))
    if flip.recommended_label and not beside:
        lines.append("  recommended correction: {}".format(flip.recommended_label))
    return lines


def _verdict(report, verbose=False):
    verdict, tracking = report.verdict, report.tracking
    if verdict is None or tracking is None:
        return []
    lines = ["tracking ({} seeds, step {:g} mm, {} region voxels from the {}):".format(
        tracking.seeds, tracking.step_mm, tracking.region_voxels,
        "mask" if tracking.region == "mask" else "Otsu mask of the mean b0"),
        "  {:>4}  {:<8}  {:>11}".format("rank", "label", "mean length")]
    given = verdict.given_rank
    for n, c in enumerate(tracking.candidates, 1):
        if verbose or n <= 3 or n == given:
            mark = "  <- as given" if n == given else ""
            lines.append("  {:>4}  {:<8}  {:>8} mm{}".format(n, c.label, _f(c.mean_length_mm, "{:.1f}"), mark))
    rec = verdict.recommended_label
    lines.append("verdict: {}{}, tracking margin {}% (threshold {:g}%); the table as given ranks {} of {}".format(
        verdict.decision.value, " " + rec if rec else "", _f(100 * verdict.relative_margin, "{:.1f}"),
        100 * verdict.evidence.margin_threshold, given, len(tracking.candidates)))
    spread = verdict.evidence.uncertainty
    if spread is not None:
        looks = ", ".join("{} ({} seeds)".format(p.evidence, p.seeds) for p in spread.passes)
        lines.append("  margin {}% ± {}%, {} standard errors ahead of the closest (a decision needs {:g}); "
                     "evidence: {}".format(_f(100 * verdict.relative_margin, "{:.1f}"),
                                          _f(100 * spread.relative_margin_se, "{:.1f}"),
                                          _f(spread.z, "{:.1f}"), spread.z_needed, looks))
    lines += ["  - " + r for r in verdict.reasons]
    if rec:
        lines.append("  recommended correction: {}".format(rec))
    return lines


def _volumes(report):
    v = report.volumes
    if v is None:
        return []
    from orivex.report import volumes_line

    return ["volumes: " + volumes_line(v)]


def render_warn_hint(report, command):
    """On a WARN verdict: the best candidate and the command that would apply it."""
    verdict = report.verdict
    if verdict is None or verdict.decision != "WARN":
        return None
    best = verdict.evidence.best
    if best.label == "+x+y+z":
        if verdict.relative_margin >= verdict.evidence.margin_threshold:
            return None  # the axes are clear: the WARN is the volume check's, said above
        return ("best candidate: the table as given (+x+y+z, mean {} mm), but not by a clear margin; "
                "nothing to apply".format(_f(best.mean_length_mm, "{:.1f}")))
    return "best candidate: {} (mean {} mm). To apply it anyway:\n  {}".format(
        best.label, _f(best.mean_length_mm, "{:.1f}"), command)


def status_line(report, title):
    return "status: {}   ({} {}, {})".format(report.status.value, report.tool, report.tool_version, title)


def render_report(report, title, threshold=MARGIN_THRESHOLD, verbose=False):
    lines = [status_line(report, title)]
    for f in report.inputs:
        lines.append("input: {}  ({} bytes, sha256 {}...)".format(f.path, f.bytes, f.sha256[:12]))
    lines += _shells(report)
    ns = report.norm_stats
    if ns is not None and ns.non_b0_count:
        lines.append("direction norms: {} of {} non-unit (min {}, max {}, mean {})".format(
            ns.non_unit_count, ns.non_b0_count, _f(ns.norm_min), _f(ns.norm_max), _f(ns.norm_mean)))
    drift = report.b0_drift
    if drift is not None and len(drift.indices) > 1:
        lines.append("b0 drift: {} peak-to-peak over {} b0 volumes (slope {} per volume)".format(
            _f(100 * drift.relative_drift, "{:.2f}%"), len(drift.indices), _f(drift.slope)))
    lines += _verdict(report, verbose)
    lines += _volumes(report)
    lines += _flip(report, threshold, verbose)
    if report.flip is not None or report.tracking is not None:
        lines += LABEL_LEGEND
    notes = report.notes
    if notes:
        lines.append("findings:")
        lines += ["  - " + n for n in notes]
    else:
        lines.append("findings: none")
    return "\n".join(lines)


def render_repair(report, dry_run, provenance):
    rep = report.repair
    if rep is None:
        return "repair: nothing applied (the table is kept as it is)"
    if dry_run:
        return "repair (dry run): would apply {}; nothing written".format(rep.label)
    lines = ["repair: applied {}; wrote:".format(rep.label)]
    lines += ["  " + p for p in rep.outputs]
    if provenance:
        lines.append("  " + provenance + " (provenance)")
    return "\n".join(lines)


def render_recompute(s, dry_run):
    lines = ["b-value recovery: b_nominal {}, max |g| {}".format(_g(s.b_nominal), _f(s.max_norm)),
             "recovered non-b0 b-values from {} to {}".format(_g(s.b_min), _g(s.b_max))]
    fmt = lambda shells: ", ".join("b={} x{}".format(_g(c.nominal_b), c.count) for c in shells) or "none"  # noqa: E731
    lines.append("shells before: " + fmt(s.before))
    lines.append("shells after:  " + fmt(s.after))
    if dry_run:
        lines.append("dry run: nothing written")
    else:
        lines.append("wrote: " + ", ".join(s.outputs))
    return "\n".join(lines)


def render_timings(t):
    stages = ("decompress", "convert", "fit", "coherence", "tracking", "volumes", "other", "total")
    order = [k for k in stages if k in t]
    lines = ["timings ({:g} threads):".format(t["threads"])]
    lines += ["  {:<10} {:8.3f} s".format(k, t[k]) for k in order]
    return "\n".join(lines)


def short(path):
    return os.path.relpath(path) if not os.path.isabs(path) else path
