"""The visual QC figure: principal directions over FA, as given and under the best correction."""

import struct

from orivex.defaults import MARGIN_THRESHOLD


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
        100 * flip.get("margin_threshold", MARGIN_THRESHOLD)))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def f32(values):
    """Little-endian float32 bytes, as the payload stores them (used by tests)."""
    return struct.pack("<%df" % len(values), *values)
