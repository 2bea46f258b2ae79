"""The visual QC figures.

With the verdict: fibre tracks as given beside tracks under the other shown candidate (the
recommended correction, or the runner-up on PASS), over FA in three planes, and the mean track
length of all 24 candidates. With coherence evidence alone: principal directions over FA.
"""

import io
import struct

from orivex.api import MARGIN_THRESHOLD


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


def figure_png(report):
    """The PNG (bytes) of a Report that carries its QC data (`qc_data=True`): the verdict
    figure under the tracking evidence, the glyph figure under coherence evidence alone."""
    payload = report.qc_data
    if payload is None:
        raise ValueError("the report carries no QC data (ask for it with qc_data=True)")
    if "tracks" in payload:
        return verdict_figure_png(report, payload)
    return glyph_figure_png(report, payload)


def glyph_figure_png(report, payload):
    """A PNG (bytes) with one row for the table as given and one for the best candidate."""
    plt, LineCollection, np = _require_matplotlib()
    flip = report.flip
    if flip is None:
        raise ValueError("no flip detection result to draw")
    v1, fa, mask = _unpack(payload, np)
    frame = np.array(payload["frame_map"], float)
    best = flip.best
    rows = (("as given (+x+y+z)", frame), (f"best: {best.label}", frame @ np.array(best.matrix, float)))
    fig, axes = plt.subplots(2, 3, figsize=(11, 7.5))
    for r, (label, k) in enumerate(rows):
        for c, view in enumerate(VIEWS):
            _draw(axes[r][c], v1, fa, mask, k, view, LineCollection, np)
        axes[r][0].set_ylabel(label)
    threshold = MARGIN_THRESHOLD if flip.margin_threshold is None else flip.margin_threshold
    fig.suptitle("orivex {}: best {} (coherence {:.4f}), margin {:.2f}% vs threshold {:g}%".format(
        flip.decision.value, best.label, _or0(best.coherence), 100 * _or0(flip.relative_margin),
        100 * threshold))
    fig.tight_layout()
    # Rendered in memory: the caller writes the file whole, like every other output.
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110)
    plt.close(fig)
    return buffer.getvalue()


# World axes: (name, the letters at the low and high end). A panel shows two world axes, the
# first horizontal; the third is held fixed.
WORLD = (("x", "L", "R"), ("y", "P", "A"), ("z", "I", "S"))
PLANES = (("axial", 2, (0, 1)), ("coronal", 1, (0, 2)), ("sagittal", 0, (1, 2)))
MARGIN_MM = 6.0
SLAB_MM = 10.0


def _voxel_axes(affine, np):
    """For each world axis the voxel axis closest to it and whether indices run towards +world."""
    rot = np.abs(affine[:3, :3]) / np.maximum(np.linalg.norm(affine[:3, :3], axis=0), 1e-12)
    axis_of, sign_of, free, done = [0, 0, 0], [1, 1, 1], [0, 1, 2], set()
    # Most decided pairs first, so an oblique image still gets three distinct axes.
    for _, w, a in sorted(((rot[w, a], w, a) for w in range(3) for a in range(3)), reverse=True):
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


class _View:
    """A plane through the region's centre, in millimetres with both axes running towards +world
    (so R, A and S are always right or up), cropped to the region."""

    def __init__(self, plane, axes, fa, region, sizes, np):
        self.title, fixed_w, (self.h_w, self.v_w) = plane
        axis_of, sign_of = axes
        self.f, self.h, self.v = axis_of[fixed_w], axis_of[self.h_w], axis_of[self.v_w]
        self.flip_h, self.flip_v = sign_of[self.h_w] < 0, sign_of[self.v_w] < 0
        self.shape, self.sizes = fa.shape, sizes
        inside = np.argwhere(region) if region.any() else np.argwhere(np.ones_like(region))
        # Through the centre of the white matter, not of the whole region (which may reach far
        # into the neck and face).
        wm = np.argwhere(region & (fa >= 0.3))
        self.k = int(round((wm if len(wm) else inside)[:, self.f].mean()))
        sl = [slice(None)] * 3
        sl[self.f] = self.k
        img = np.where(region, fa, np.nan)[tuple(sl)]
        img = img.T if self.h > self.v else img  # rows along h, columns along v
        img = img[::-1, :] if self.flip_h else img
        self.image = img[:, ::-1] if self.flip_v else img
        hs, vs = self.mm(inside[:, self.h], self.h), self.mm(inside[:, self.v], self.v)
        self.xlim = (hs.min() - MARGIN_MM, hs.max() + MARGIN_MM)
        self.ylim = (vs.min() - MARGIN_MM, vs.max() + MARGIN_MM)
        self.extent = [-0.5 * sizes[self.h], (self.shape[self.h] - 0.5) * sizes[self.h],
                       -0.5 * sizes[self.v], (self.shape[self.v] - 0.5) * sizes[self.v]]

    def mm(self, idx, axis):
        flip = self.flip_h if axis == self.h else self.flip_v
        return (self.shape[axis] - 1 - idx if flip else idx) * self.sizes[axis]

    @property
    def aspect(self):
        return (self.xlim[1] - self.xlim[0]) / (self.ylim[1] - self.ylim[0])

    def draw(self, ax, lines, np, LineCollection):
        ax.set_facecolor("black")
        ax.imshow(self.image.T, cmap="gray", origin="lower", vmin=0, vmax=1, extent=self.extent,
                  interpolation="nearest", aspect="equal")
        # Whole tracks that pass near the plane, projected onto it: bundles show their course.
        segs, colours = [], []
        for line in lines:
            if not (np.abs(line[:, self.f] - self.k) * self.sizes[self.f] <= SLAB_MM).any():
                continue
            p = np.stack([self.mm(line[:, self.h], self.h), self.mm(line[:, self.v], self.v)], 1)
            segs.append(np.stack([p[:-1], p[1:]], 1))
            d = np.diff(line, axis=0) * self.sizes
            colours.append(np.abs(d) / np.maximum(np.linalg.norm(d, axis=1, keepdims=True), 1e-12))
        if segs:
            ax.add_collection(LineCollection(np.concatenate(segs), colors=np.concatenate(colours),
                                             linewidths=0.7, alpha=0.8))
        ax.set_xlim(*self.xlim)
        ax.set_ylim(*self.ylim)
        ax.set_xticks([])
        ax.set_yticks([])
        ax.text(0.02, 0.98, self.title, color="white", fontsize=8, ha="left", va="top",
                transform=ax.transAxes)
        style = dict(color="yellow", fontsize=10, fontweight="bold", transform=ax.transAxes)
        ax.text(0.02, 0.5, WORLD[self.h_w][1], ha="left", va="center", **style)
        ax.text(0.98, 0.5, WORLD[self.h_w][2], ha="right", va="center", **style)
        ax.text(0.5, 0.02, WORLD[self.v_w][1], ha="center", va="bottom", **style)
        ax.text(0.5, 0.98, WORLD[self.v_w][2], ha="center", va="top", **style)


def verdict_figure_png(report, payload):
    """Tracks as given and under the other shown candidate in three planes, and the bar chart."""
    plt, LineCollection, np = _require_matplotlib()
    verdict, tracking = report.verdict, report.tracking
    if verdict is None or tracking is None:
        raise ValueError("no verdict to draw")
    fa, region, tracks = _unpack_verdict(payload, np)
    affine = np.array(payload["affine"], float)
    sizes = np.array([s if s > 0 else 1.0 for s in payload["voxel_sizes"]], float)
    axes = _voxel_axes(affine, np)
    views = [_View(plane, axes, fa, region, sizes, np) for plane in PLANES]
    means = {c.label: c.mean_length_mm for c in tracking.candidates}
    given, other = (t["label"] for t in payload["tracks"])
    role = ("recommended" if verdict.decision == "FLAG"
            else "runner-up" if verdict.evidence.best.label == given else "best")

    # Each candidate gets a block: the axial plane on the left, coronal over sagittal on the right,
    # every panel at the world aspect ratio and as large as the block allows.
    a_ax, a_co, a_sa = (v.aspect for v in views)
    right = 1.0 / (1.0 / a_co + 1.0 / a_sa)
    block_w = a_ax + right
    height = 4.6
    volumes = report.volumes
    strip = bool(volumes is not None and volumes.checked and volumes.entries)
    fig = plt.figure(figsize=(2 * block_w * height + 1.2, height + 3.6 + (2.0 if strip else 0.0)))
    outer = fig.add_gridspec(3 if strip else 2, 2,
                             height_ratios=[height, 2.4] + ([1.6] if strip else []),
                             hspace=0.45 if strip else 0.22, wspace=0.08)
    for b, (label, name) in enumerate(((given, "as given"), (other, role))):
        block = outer[0, b].subgridspec(2, 2, width_ratios=[a_ax, right],
                                        height_ratios=[1.0 / a_co, 1.0 / a_sa], wspace=0.03, hspace=0.12)
        for view, cell in zip(views, (block[:, 0], block[0, 1], block[1, 1])):
            ax = fig.add_subplot(cell)
            view.draw(ax, tracks.get(label, []), np, LineCollection)
            if view is views[0]:
                ax.set_title(f"{name}: {label}, mean track {means.get(label, 0.0):.1f} mm", fontsize=11,
                             color="tab:orange" if label == given else "tab:blue")

    bar = fig.add_subplot(outer[1, :])
    cands = tracking.candidates
    colours = ["tab:orange" if c.label == given else "tab:blue" if c.label == other else "0.65"
               for c in cands]
    lengths = [_or0(c.mean_length_mm) for c in cands]
    bar.bar(range(len(cands)), lengths, color=colours)
    bar.set_xticks(range(len(cands)))
    bar.set_xticklabels([c.label for c in cands], rotation=60, fontsize=8, family="monospace")
    bar.set_ylabel("mean track length (mm)")
    bar.set_ylim(0, 1.15 * max(lengths) + 1e-9)
    g = verdict.given_rank - 1
    bar.annotate("as given", (g, lengths[g]), xytext=(0, 4), textcoords="offset points",
                 ha="center", fontsize=9, color="tab:orange")
    bar.set_title("mean track length of all 24 axis assignments, longest first", fontsize=10)

    if strip:
        _volume_strip(fig.add_subplot(outer[2, :]), volumes)

    rec = verdict.recommended_label
    fig.suptitle("orivex {}{}: tracking margin {:.1f}% (threshold {:g}%); the table as given ranks {} of {}".format(
        verdict.decision.value, " " + rec if rec else "", 100 * _or0(verdict.relative_margin),
        100 * verdict.evidence.margin_threshold, verdict.given_rank, len(cands)), fontsize=12)
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100, bbox_inches="tight")
    plt.close(fig)
    return buffer.getvalue()


def _or0(v):
    # A null measurement reads back as NaN; the figure draws it as 0.
    return 0.0 if v is None or v != v else v


def _volume_strip(ax, volumes):
    """Each diffusion-weighted volume's misfit to its row, the suspect volumes marked in red."""
    suspect = set(volumes.suspect)
    xs = [e.volume for e in volumes.entries]
    heights = [_or0(e.misfit) for e in volumes.entries]
    ax.bar(xs, heights, width=0.8, color=["tab:red" if x in suspect else "0.65" for x in xs])
    for x, h in zip(xs, heights):
        if x in suspect:
            ax.annotate(str(x), (x, h), xytext=(0, 2), textcoords="offset points", ha="center",
                        fontsize=8, color="tab:red")
    ax.axhline(1.0, color="0.4", lw=0.8, ls=":")
    ax.set_xlabel("volume")
    # Volumes are whole numbers; the default locator puts ticks at 2.5, 7.5, ...
    ax.xaxis.get_major_locator().set_params(integer=True)
    ax.set_ylabel("misfit to its row")
    found = volumes.pattern != "none"
    text = volumes.summary if found else "every volume fits its row"
    ax.set_title(f"volumes: {volumes.pattern} — {text}", fontsize=10,
                 color="tab:red" if found else "black")


def f32(values):
    """Little-endian float32 bytes, as the payload stores them (used by tests)."""
    return struct.pack("<%df" % len(values), *values)
