"""NIfTI header facts the BIDS App needs (grid and axis orientation), read with struct alone.

The installed package carries no numpy or nibabel, and the protocol key only needs the header:
the grid to match masks to their DWI, and the best affine's axis codes ("LAS", "RAS", ...).
"""

import gzip
import math
import struct

GZIP_MAGIC = b"\x1f\x8b"


class Header:
    """dims (nx, ny, nz, nt) and the 3x4 best affine (rows), as nibabel's get_best_affine."""

    def __init__(self, dims, affine):
        self.dims = dims
        self.affine = affine

    @property
    def grid(self):
        return self.dims[:3]

    def axis_codes(self):
        return axis_codes(self.affine)


def _read_head(path, n):
    with open(path, "rb") as f:
        start = f.read(2)
    opener = gzip.open if start == GZIP_MAGIC else open
    with opener(path, "rb") as f:
        return f.read(n)


def _quaternion_rotation(b, c, d):
    a2 = 1.0 - (b * b + c * c + d * d)
    a = math.sqrt(a2) if a2 > 1e-7 else 0.0
    return [
        [a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)],
        [2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)],
        [2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - b * b - c * c],
    ]


def _best_affine(pixdim, qform_code, sform_code, quatern, qoffset, srows):
    if sform_code > 0:
        return [list(r) for r in srows]
    if qform_code > 0:
        qfac = -1.0 if pixdim[0] < 0 else 1.0
        rot = _quaternion_rotation(*quatern)
        scale = (pixdim[1], pixdim[2], pixdim[3] * qfac)
        return [[rot[i][j] * scale[j] for j in range(3)] + [qoffset[i]] for i in range(3)]
    # Neither code set: the Analyze convention nibabel falls back to (x reversed, radiological).
    return [[-abs(pixdim[1]) or -1.0, 0.0, 0.0, 0.0],
            [0.0, abs(pixdim[2]) or 1.0, 0.0, 0.0],
            [0.0, 0.0, abs(pixdim[3]) or 1.0, 0.0]]


def read_header(path):
    """The Header of a .nii or .nii.gz (NIfTI-1 or NIfTI-2); ValueError when it is neither."""
    raw = _read_head(path, 540)
    for order in "<>":
        if len(raw) >= 348 and struct.unpack(order + "i", raw[:4])[0] == 348:
            dim = struct.unpack(order + "8h", raw[40:56])
            pixdim = struct.unpack(order + "8f", raw[76:108])
            qcode, scode = struct.unpack(order + "2h", raw[252:256])
            quatern = struct.unpack(order + "3f", raw[256:268])
            qoffset = struct.unpack(order + "3f", raw[268:280])
            srows = [struct.unpack(order + "4f", raw[280 + 16 * i: 296 + 16 * i]) for i in range(3)]
            break
        if len(raw) >= 540 and struct.unpack(order + "i", raw[:4])[0] == 540:
            dim = struct.unpack(order + "8q", raw[16:80])
            pixdim = struct.unpack(order + "8d", raw[104:168])
            qcode, scode = struct.unpack(order + "2i", raw[344:352])
            quatern = struct.unpack(order + "3d", raw[352:376])
            qoffset = struct.unpack(order + "3d", raw[376:400])
            srows = [struct.unpack(order + "4d", raw[400 + 32 * i: 432 + 32 * i]) for i in range(3)]
            break
    else:
        raise ValueError(f"not a NIfTI header: {path}")
    ndim = max(0, min(int(dim[0]), 7))
    dims = tuple(int(dim[i + 1]) if i < ndim else 1 for i in range(4))
    return Header(dims, _best_affine(pixdim, qcode, scode, quatern, qoffset, srows))


def axis_codes(affine):
    """Orientation letters of the voxel axes (nibabel's aff2axcodes for the usual affines).

    Each voxel axis takes the world axis its direction leans on most, strongest pairing first, so
    an oblique acquisition gets the code of the plane it is closest to.
    """
    cols = []
    for j in range(3):
        v = [affine[i][j] for i in range(3)]
        n = math.sqrt(sum(x * x for x in v))
        cols.append([x / n for x in v] if n > 0 else [0.0, 0.0, 0.0])
    pairs = sorted(((abs(cols[j][i]), j, i) for j in range(3) for i in range(3)), reverse=True)
    codes = [None, None, None]
    used_world = set()
    for weight, j, i in pairs:
        if codes[j] is not None or i in used_world or weight == 0.0:
            continue
        codes[j] = ("LR", "PA", "IS")[i][cols[j][i] > 0]
        used_world.add(i)
    return "".join(c or "?" for c in codes)
