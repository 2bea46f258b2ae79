"""The visual QC figures.

With the verdict: fibre tracks as given beside tracks under the other shown candidate (the
recommended correction, or the runner-up on PASS), over FA in three planes, and the mean track
length of all 24 candidates. With coherence evidence alone: principal directions over FA.
"""

import struct


def _require_matplotlib():
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.collections import LineCollection
        import numpy as np
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError(
            "the QC figure needs matplotlib: install the plot extra with "
            "pip install 'orivex[plot]'") from e
    return plt, LineCollection, np


def _unpack(payload, np):
    nx, ny, nz = payload["shape"]
    v1 = np.frombuffer(payload["v1"], "<f4").reshape(nx, ny, nz, 3).astype(float)
    fa = np.frombuffer(payload["fa"], "<f4").reshape(nx, ny, nz).astype(float)
    mask = np.frombuffer(payload["mask"], np.uint8).reshape(nx, ny, nz).astype(bool)
    return v1, fa, mask


# (title, axis held fixed, the two in-plane axes shown as horizontal and vertical)
VIEWS = (("axial", 2, (0, 1)), ("coronal", 1, (0, 2)), ("sagittal", 0, (1, 2)))


def _draw(ax, v1, fa, mask, k, view, LineCollection, np):
    title, fixed, (h, v) = view
    mid = fa.shape[fixed] // 2
    sl = [slice(None)] * 3
    sl[fixed] = mid
    sl = tuple(sl)
    ax.imshow(fa[sl].T, cmap="gray", origin="lower", vmin=0, vmax=1, interpolation="nearest")
    dirs = v1[sl] @ k.T  # K·e for every voxel of the slice
    m = mask[sl] & (np.linalg.norm(dirs, axis=-1) > 1e-9)
    ii, jj = np.nonzero(m)
    d = dirs[ii, jj]
    d = d / np.linalg.norm(d, axis=1, keepdims=True)
    half = 0.45 * d[:, [h, v]]
    segs = np.stack([np.stack([ii - half[:, 0], jj - half[:, 1]], 1),
                     np.stack([ii + half[:, 0], jj + half[:, 1]], 1)], 1)
    colours = np.abs(d)  # red x, green y, blue z in the voxel frame
    ax.add_collection(LineCollection(segs, colors=colours, linewidths=1.2))
    ax.set_title(f"{title} (slice {mid})", fontsize=9)
    ax.set_xticks([])
    ax.set_yticks([])


def write_figure(path, report, payload):
    """Writes the PNG that fits the payload: the verdict figure, or the glyph figure."""
    if payload is not None and "tracks" in payload:
        return write_verdict_figure(path, report, payload)
    return write_glyph_figure(path, report, payload)


def write_glyph_figure(path, report, payload):
    """Writes a PNG with one row for the table as given and one for the best candidate."""
    plt, LineCollection, np = _require_matplotlib()
    flip = report.get("flip")
    if flip is None or payload is None:
        raise ValueError("no flip detection result to draw")
    v1, fa, mask = _unpack(payload, np)
    frame = np.array(payload["frame_map"], float)
    best = flip["best"]
    rows = (("as given (+x+y+z)", frame), (f"best: {best['label']}", frame @ np.array(best["matrix"], float)))
    fig, axes = plt.subplots(2, 3, figsize=(11, 7.5))
    for r, (label, k) in enumerate(rows):
        for c, view in enumerate(VIEWS):
            _draw(axes[r][c], v1, fa, mask, k, view, LineCollection, np)
        axes[r][0].set_ylabel(label)
    rel = flip["relative_margin"]
    fig.suptitle("orivex {}: best {} (coherence {:.4f}), margin {:.2f}% vs threshold {:g}%".format(
        flip["decision"], best["label"], best["coherence"] or 0.0, 100 * (rel or 0.0),
        100 * flip.get("margin_threshold", 0.02)))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# World axes: (name, the letters at the low and high end). A panel shows two world axes, the
# first horizontal; the third is held fixed.
WORLD = (("x", "L", "R"), ("y", "P", "A"), ("z", "I", "S"))
PLANES = (("axial", 2, (0, 1)), ("coronal", 1, (0, 2)), ("sagittal", 0, (1, 2)))
SLAB_MM = 12.0


def _voxel_axes(affine, np):
    """For each world axis the voxel axis closest to it and whether indices run towards +world."""
    rot = np.abs(affine[:3, :3]) / np.maximum(np.linalg.norm(affine[:3, :3], axis=0), 1e-12)
    axis_of, sign_of, free = [0, 0, 0], [1, 1, 1], [0, 1, 2]
    # Most decided pairs first, so an oblique image still gets three distinct axes.
    pairs = sorted(((rot[w, a], w, a) for w in range(3) for a in range(3)), reverse=True)
    done = set()
    for _, w, a in pairs:
        if w in done or a not in free:
            continue
        axis_of[w], sign_of[w] = a, 1 if affine[w, a] >= 0 else -1
        done.add(w)
        free.remove(a)
    return axis_of, sign_of


def _unpack_verdict(payload, np):
    shape = tuple(payload["shape"])
    fa = np.frombuffer(payload["fa"], "<f4").reshape(shape).astype(float)
    region = np.frombuffer(payload["region"], np.uint8).reshape(shape).astype(bool)
    tracks = {}
    for t in payload["tracks"]:
        points = np.frombuffer(t["points"], "<f4").reshape(-1, 3).astype(float)
        counts = np.frombuffer(t["counts"], "<u4").astype(int)
        tracks[t["label"]] = [line for line in np.split(points, np.cumsum(counts)[:-1]) if len(line) > 1]
    return fa, region, tracks


def _plane(ax, fa, region, lines, plane, axes, sizes, np, LineCollection):
    """One panel: FA inside the region on the plane through the region's centre, and the parts of
    the tracks within a slab around it, in millimetres with each axis running towards +world."""
    title, fixed_w, (h_w, v_w) = plane
    axis_of, sign_of = axes
    f, h, v = axis_of[fixed_w], axis_of[h_w], axis_of[v_w]
    shape = fa.shape
    centre = np.argwhere(region).mean(axis=0) if region.any() else np.array(shape) / 2.0
    k = int(round(centre[f]))
    sl = [slice(None)] * 3
    sl[f] = k
    img = np.where(region, fa, np.nan)[tuple(sl)]
    if h > v:
        img = img.T  # rows along h, columns along v
    def to_mm(idx, a, w):
        return (idx if sign_of[w] > 0 else shape[a] - 1 - idx) * sizes[a]
    if sign_of[h_w] < 0:
        img = img[::-1, :]
    if sign_of[v_w] < 0:
        img = img[:, ::-1]
    extent = [-0.5 * sizes[h], (shape[h] - 0.5) * sizes[h], -0.5 * sizes[v], (shape[v] - 0.5) * sizes[v]]
    ax.set_facecolor("black")
    ax.imshow(img.T, cmap="gray", origin="lower", vmin=0, vmax=1, extent=extent,
              interpolation="nearest", aspect="equal")
    segs, colours = [], []
    for line in lines:
        near = np.abs(line[:, f] - k) * sizes[f] <= SLAB_MM
        keep = near[:-1] & near[1:]
        if not keep.any():
            continue
        a, b = line[:-1][keep], line[1:][keep]
        pa = np.stack([to_mm(a[:, h], h, h_w), to_mm(a[:, v], v, v_w)], 1)
        pb = np.stack([to_mm(b[:, h], h, h_w), to_mm(b[:, v], v, v_w)], 1)
        segs.append(np.stack([pa, pb], 1))
        d = (b - a) * sizes
        colours.append(np.abs(d) / np.maximum(np.linalg.norm(d, axis=1, keepdims=True), 1e-12))
    if segs:
        ax.add_collection(LineCollection(np.concatenate(segs), colors=np.concatenate(colours),
                                         linewidths=0.9, alpha=0.9))
    ax.set_xlim(extent[0], extent[1])
    ax.set_ylim(extent[2], extent[3])
    ax.set_xticks([])
    ax.set_yticks([])
    ax.set_title(f"{title}", fontsize=9)
    style = dict(color="yellow", fontsize=10, fontweight="bold", transform=ax.transAxes)
    ax.text(0.02, 0.5, WORLD[h_w][1], ha="left", va="center", **style)
    ax.text(0.98, 0.5, WORLD[h_w][2], ha="right", va="center", **style)
    ax.text(0.5, 0.02, WORLD[v_w][1], ha="center", va="bottom", **style)
    ax.text(0.5, 0.98, WORLD[v_w][2], ha="center", va="top", **style)


def write_verdict_figure(path, report, payload):
    """Tracks as given and under the other shown candidate in three planes, and the bar chart."""
    plt, LineCollection, np = _require_matplotlib()
    verdict, tracking = report.get("verdict"), report.get("tracking")
    if verdict is None or tracking is None:
        raise ValueError("no verdict to draw")
    fa, region, tracks = _unpack_verdict(payload, np)
    affine = np.array(payload["affine"], float)
    sizes = np.array([s if s > 0 else 1.0 for s in payload["voxel_sizes"]], float)
    axes = _voxel_axes(affine, np)
    means = {c["label"]: c["mean_length_mm"] for c in tracking["candidates"]}
    labels = [t["label"] for t in payload["tracks"]]
    given, other = labels[0], labels[1]
    role = ("recommended" if verdict["decision"] == "FLAG"
            else "runner-up" if verdict["evidence"]["best"]["label"] == given else "best")

    fig = plt.figure(figsize=(12, 10.5))
    grid = fig.add_gridspec(3, 3, height_ratios=[1, 1, 0.62])
    for r, (label, name) in enumerate(((given, "as given"), (other, role))):
        for c, plane in enumerate(PLANES):
            ax = fig.add_subplot(grid[r, c])
            _plane(ax, fa, region, tracks.get(label, []), plane, axes, sizes, np, LineCollection)
        fig.axes[3 * r].set_ylabel(f"{name}: {label}\nmean track {means.get(label, 0.0):.1f} mm", fontsize=10)

    bar = fig.add_subplot(grid[2, :])
    cands = tracking["candidates"]
    colours = ["tab:orange" if c["label"] == given else "tab:blue" if c["label"] == other else "0.65"
               for c in cands]
    bar.bar(range(len(cands)), [c["mean_length_mm"] for c in cands], color=colours)
    bar.set_xticks(range(len(cands)))
    bar.set_xticklabels([c["label"] for c in cands], rotation=60, fontsize=8, family="monospace")
    bar.set_ylabel("mean track length (mm)")
    g = verdict["given_rank"] - 1
    bar.annotate("as given", (g, cands[g]["mean_length_mm"]), xytext=(0, 4), textcoords="offset points",
                 ha="center", fontsize=8, color="tab:orange")
    bar.set_title("all 24 candidate axis assignments, longest tracks first", fontsize=9)

    rec = verdict["recommended_label"]
    fig.suptitle("orivex {}{}: tracking margin {:.1f}% (threshold {:g}%), the table as given ranks {} of {}".format(
        verdict["decision"], " " + rec if rec else "", 100 * (verdict["relative_margin"] or 0.0),
        100 * verdict["evidence"]["margin_threshold"], verdict["given_rank"], len(cands)), fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def f32(values):
    """Little-endian float32 bytes, as the payload stores them (used by tests)."""
    return struct.pack("<%df" % len(values), *values)
