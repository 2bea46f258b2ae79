"""Readable summaries of reports for the terminal."""

import os

from orivex.defaults import MARGIN_THRESHOLD


def _f(v, fmt="{:.4f}"):
    return "n/a" if v is None else fmt.format(v)


def _shells(report):
    shells = report.get("shells")
    if not shells:
        return []
    angular = {a["nominal_b"]: a for a in (report.get("angular") or {}).get("shells", [])}
    lines = ["shells (tolerance {:g}, b0 at or below {:g}):".format(shells["tolerance"], shells["b0_threshold"])]
    lines.append("  {:>8}  {:>5}  {:>10}  {:>8}  {:>9}  {:>3}  {:>3}".format(
        "b", "count", "mean b", "cond", "energy", "DTI", "CSD"))
    for s in shells["shells"]:
        a = angular.get(s["nominal_b"]) if not s["is_b0"] else None
        if a is None:
            lines.append("  {:>8}  {:>5}  {:>10}  {:>8}  {:>9}  {:>3}  {:>3}".format(
                "b0" if s["is_b0"] else "{:g}".format(s["nominal_b"]), s["count"],
                "{:.2f}".format(s["mean_b"]), "", "", "", ""))
        else:
            dti = "ok" if a["meets_dti_recommended"] else ("min" if a["meets_dti_minimum"] else "no")
            lines.append("  {:>8}  {:>5}  {:>10}  {:>8}  {:>9}  {:>3}  {:>3}".format(
                "{:g}".format(s["nominal_b"]), s["count"], "{:.2f}".format(s["mean_b"]),
                _f(a["condition_number"], "{:.2f}"), "{:.1f}".format(a["electrostatic_energy"]),
                dti, "ok" if a["meets_csd_minimum"] else "no"))
    return lines


def _flip(report, threshold):
    flip = report.get("flip")
    if not flip:
        return []
    lines = [
        "flip detection (shell b={:g}, {} coherence-mask voxels, mean FA {:.3f}):".format(
            flip["working_b"], flip["n_wm_voxels"], flip["mask_mean_fa"]),
        "  {:>4}  {:<8}  {:>10}  {:>8}".format("rank", "label", "coherence", "samples"),
    ]
    for n, c in enumerate(flip["ranking"][:5], 1):
        mark = "  <- as given" if c["is_identity"] else ""
        lines.append("  {:>4}  {:<8}  {:>10}  {:>8}{}".format(
            n, c["label"], _f(c["coherence"], "{:.6f}"), c["n_samples"], mark))
    used = flip.get("margin_threshold", MARGIN_THRESHOLD if threshold is None else threshold)
    lines.append("  best {} vs runner-up {}: margin {} (relative {}) against threshold {:g}% -> {}".format(
        flip["best"]["label"], flip["runner_up"]["label"], _f(flip["margin"], "{:.6f}"),
        _f(None if flip["relative_margin"] is None else 100 * flip["relative_margin"], "{:.2f}%"),
        100 * (used if used is not None else MARGIN_THRESHOLD), flip["decision"]))
    if flip.get("recommended_label"):
        lines.append("  recommended correction: {}".format(flip["recommended_label"]))
    return lines


def render_report(report, title, threshold=MARGIN_THRESHOLD):
    lines = ["status: {}   ({} {}, {})".format(report["status"], report["tool"], report["tool_version"], title)]
    for f in report.get("inputs", []):
        lines.append("input: {}  ({} bytes, sha256 {}...)".format(f["path"], f["bytes"], f["sha256"][:12]))
    lines += _shells(report)
    ns = report.get("norm_stats")
    if ns and ns["non_b0_count"]:
        lines.append("direction norms: {} of {} non-unit (min {}, max {}, mean {})".format(
            ns["non_unit_count"], ns["non_b0_count"], _f(ns["norm_min"]), _f(ns["norm_max"]), _f(ns["norm_mean"])))
    drift = report.get("b0_drift")
    if drift is not None and len(drift["indices"]) > 1:
        lines.append("b0 drift: {} peak-to-peak over {} b0 volumes (slope {} per volume)".format(
            _f(None if drift["relative_drift"] is None else 100 * drift["relative_drift"], "{:.2f}%"),
            len(drift["indices"]), _f(drift["slope"])))
    lines += _flip(report, threshold)
    notes = report.get("notes", [])
    if notes:
        lines.append("findings:")
        lines += ["  - " + n for n in notes]
    else:
        lines.append("findings: none")
    return "\n".join(lines)


def render_repair(report, dry_run, provenance):
    rep = report.get("repair")
    if rep is None:
        return "repair: nothing applied (the table is kept as it is)"
    if dry_run:
        return "repair (dry run): would apply {}; nothing written".format(rep["label"])
    lines = ["repair: applied {}; wrote:".format(rep["label"])]
    lines += ["  " + p for p in rep["outputs"]]
    if provenance:
        lines.append("  " + provenance + " (provenance)")
    return "\n".join(lines)


def render_recompute(s, dry_run):
    lines = ["b-value recovery: b_nominal {:g}, max |g| {}".format(s["b_nominal"], _f(s["max_norm"])),
             "recovered non-b0 b-values from {:g} to {:g}".format(s["b_min"], s["b_max"])]
    fmt = lambda shells: ", ".join("b={:g} x{}".format(c["nominal_b"], c["count"]) for c in shells) or "none"
    lines.append("shells before: " + fmt(s["before"]))
    lines.append("shells after:  " + fmt(s["after"]))
    if dry_run:
        lines.append("dry run: nothing written")
    else:
        lines.append("wrote: " + ", ".join(s["outputs"]))
    return "\n".join(lines)


def render_bids(result):
    lines = []
    for r in result["results"]:
        lines.append("{:<4}  {}  {}".format(r["status"], r["name"], r["dwi"]))
    lines.append("dataset: {} ({} runs); summary at {}".format(
        result["status"], len(result["results"]), result["summary_path"]))
    return "\n".join(lines)


def render_timings(t):
    order = ["decompress", "convert", "fit", "coherence", "other", "total"]
    lines = ["timings ({:g} threads):".format(t["threads"])]
    lines += ["  {:<10} {:8.3f} s".format(k, t[k]) for k in order]
    return "\n".join(lines)


def short(path):
    return os.path.relpath(path) if not os.path.isabs(path) else path
