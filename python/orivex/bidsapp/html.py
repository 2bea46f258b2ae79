"""orivex_report.html: the group's page of a BidsSummary, one self-contained file readable offline.

No scripts, no fonts or styles from elsewhere; QC thumbnails are embedded as data URIs and the
per-run links point at the reports beside the page. Written row by row into the open file, so a
dataset of many runs never holds all its thumbnails at once.
"""

import base64
from html import escape

STYLE = """
body{font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:24px;color:#1d2330}
h1{font-size:22px;margin:0 0 4px} h2{font-size:17px;margin:28px 0 8px}
.meta{color:#5b6270;font-size:13px}
.counts{display:flex;gap:12px;margin:16px 0}
.count{border-radius:6px;padding:10px 18px;min-width:80px;text-align:center;color:#fff}
.count b{display:block;font-size:24px}
table{border-collapse:collapse;font-size:13px}
th,td{border-bottom:1px solid #dde1e7;padding:4px 8px;text-align:left;vertical-align:middle}
th{background:#f3f5f8;position:sticky;top:0}
td.num{text-align:right;font-variant-numeric:tabular-nums}
.badge{display:inline-block;border-radius:4px;padding:1px 7px;color:#fff;font-weight:600;font-size:12px}
.PASS{background:#2e8540}.WARN{background:#c77700}.FLAG{background:#c62828}.ERROR{background:#5f3dc4}
.NONE{background:#8a919c}
img.thumb{height:96px;display:block;border:0}
.disagree{background:#fff4e5}
.err{color:#5f3dc4;max-width:480px}
code{font-size:12px}
"""

STATUSES = ("PASS", "WARN", "FLAG", "ERROR")


def _badge(status):
    s = status if status in STATUSES else "NONE"
    return f'<span class="badge {s}">{escape(status or "n/a")}</span>'


def _pct(v):
    return "–" if v is None else f"{100 * v:.2f}%"


def _e(v):
    return escape("n/a" if v is None else str(v))


def _volumes(pattern):
    # A finding is marked like a WARN: it is one.
    if pattern is None:
        return "n/a"
    if pattern == "none":
        return escape(pattern)
    return f'<span class="badge WARN">{escape(pattern)}</span>'


def _patterns(protocol):
    counts = protocol.volume_patterns.items()
    return "<br>".join(f"{_volumes(k)}&nbsp;{n}" for k, n in counts) or "n/a"


def write(f, summary, read_thumb):
    """Writes the page of a BidsSummary; read_thumb(run path) gives PNG bytes or None."""
    put = lambda text: f.write(text.encode("utf-8"))  # noqa: E731
    put("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">")
    put(f"<title>orivex: {_e(summary.bids_dir)}</title><style>{STYLE}</style></head><body>")
    put(f"<h1>Gradient-table audit</h1><div class=\"meta\">dataset {_e(summary.bids_dir)} · "
        f"{summary.n_runs} runs · orivex {_e(summary.tool_version)}</div>")
    put('<div class="counts">')
    for s in STATUSES:
        put(f'<div class="count {s}"><b>{summary.counts.get(s, 0)}</b>{s}</div>')
    put("</div>")

    disagreeing = {}
    put("<h2>Protocols</h2><table><tr><th>ID</th><th>Manufacturer</th><th>Model</th>"
        "<th>Software</th><th>PE</th><th>Orientation</th><th>Shells</th><th>Runs</th>"
        "<th>Run statuses</th><th>Protocol verdict</th><th>Candidate</th><th>Median margin</th>"
        "<th>Pooled margin</th><th>Agreement</th><th>Evidence</th><th>Disagreeing runs</th>"
        "<th>Volume check</th></tr>")
    for p in summary.protocols:
        fields = p.fields
        statuses = " ".join(f"{_badge(s)}&nbsp;{n}" for s, n in p.counts.items() if n)
        outliers = "<br>".join(
            f"<code>{escape(o.run)}</code> ({escape(o.best_label)}, {_pct(o.relative_margin)})"
            for o in p.outliers) or "none"
        for o in p.outliers:
            disagreeing[o.run] = p.id
        agreement = "–" if p.agreement is None else f"{100 * p.agreement:.0f}%"
        put(f"<tr><td>{p.id}</td><td>{_e(fields.get('Manufacturer'))}</td>"
            f"<td>{_e(fields.get('ManufacturersModelName'))}</td>"
            f"<td>{_e(fields.get('SoftwareVersions'))}</td>"
            f"<td>{_e(fields.get('PhaseEncodingDirection'))}</td>"
            f"<td>{_e(fields.get('orientation'))}</td><td>{_e(fields.get('shells'))}</td>"
            f"<td class=\"num\">{p.n_total}</td><td>{statuses}</td>"
            f"<td>{_badge(p.decision)}</td><td><code>{_e(p.best_label)}</code></td>"
            f"<td class=\"num\">{_pct(p.relative_margin)}</td>"
            f"<td class=\"num\">{_pct(p.combined_margin)}</td><td class=\"num\">{agreement}</td>"
            f"<td>{_e(p.evidence)}</td><td>{outliers}</td><td>{_patterns(p)}</td></tr>")
    put("</table>")

    put("<h2>Runs</h2><table><tr><th>QC</th><th>Run</th><th>Status</th><th>Best</th>"
        "<th>Margin</th><th>Given rank</th><th>Volumes</th><th>Protocol</th><th>Report</th></tr>")
    for r in summary.runs:
        thumb = read_thumb(r.path)
        img = ("<img class=\"thumb\" alt=\"QC\" src=\"data:image/png;base64,"
               + base64.b64encode(thumb).decode("ascii") + "\">") if thumb else ""
        if img and r.qc:
            img = f"<a href=\"{escape(r.qc)}\" title=\"full QC figure\">{img}</a>"
        note = ""
        if r.path in disagreeing:
            note = f"<br><small>disagrees with {disagreeing[r.path]}</small>"
        if r.error:
            note += f"<div class=\"err\">{escape(r.error)}</div>"
        cls = ' class="disagree"' if r.path in disagreeing else ""
        put(f"<tr{cls}><td>{img}</td><td><code>{escape(r.path)}</code>{note}</td>"
            f"<td>{_badge(r.status)}</td><td><code>{_e(r.best_label)}</code></td>"
            f"<td class=\"num\">{_pct(r.relative_margin)}</td>"
            f"<td class=\"num\">{_e(r.given_rank)}</td><td>{_volumes(r.volumes)}</td>"
            f"<td>{_e(r.protocol)}</td>"
            f"<td><a href=\"{escape(r.report)}\">json</a></td></tr>")
    put("</table></body></html>\n")
