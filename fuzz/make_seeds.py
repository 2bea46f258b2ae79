"""Writes the small seed corpora of the fuzz targets: tables and sidecars from the test data,
and tiny NIfTI-1 files of every real data type, both byte orders and each affine form."""

from __future__ import annotations

import gzip
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
REAL = ROOT / "tests" / "data" / "realdwi"

# NIfTI-1 data type codes with their struct formats.
TYPES = {2: "B", 4: "h", 8: "i", 16: "f", 64: "d", 256: "b", 512: "H", 768: "I", 1024: "q", 1280: "Q"}


def nifti(dims, code=16, order="<", sform=0, qform=0, pixdim0=1.0, slope=0.0, inter=0.0,
          vox_offset=352.0, values=None) -> bytes:
    fmt = TYPES[code]
    size = struct.calcsize(fmt)
    n = 1
    for d in dims:
        n *= d
    values = values if values is not None else [(i % 7) for i in range(n)]
    h = bytearray(348)
    struct.pack_into(order + "i", h, 0, 348)
    dim = [len(dims)] + list(dims) + [1] * (7 - len(dims))
    struct.pack_into(order + "8h", h, 40, *dim)
    struct.pack_into(order + "hh", h, 70, code, size * 8)
    struct.pack_into(order + "8f", h, 76, pixdim0, 2.0, 2.0, 2.5, 1.0, 1.0, 1.0, 1.0)
    struct.pack_into(order + "f", h, 108, vox_offset)
    struct.pack_into(order + "ff", h, 112, slope, inter)
    struct.pack_into(order + "hh", h, 252, qform, sform)
    struct.pack_into(order + "6f", h, 256, 0.0, 0.38268343, 0.0, 10.0, -4.0, 3.0)
    struct.pack_into(order + "12f", h, 280, -2, 0, 0, 20, 0, 2, 0, -20, 0, 0, 2.5, -8)
    h[344:348] = b"n+1\0"
    data = b"".join(struct.pack(order + fmt, v) for v in values)
    pad = b"\0" * (int(vox_offset) - 348) if vox_offset >= 352 else b"\0" * 4
    return bytes(h) + pad + data


def write(dir_: Path, name: str, data: bytes) -> None:
    dir_.mkdir(parents=True, exist_ok=True)
    (dir_ / name).write_bytes(data)


def main(out: Path) -> None:
    fsl, grad, side, nii = (out / t for t in ("fsl_pair", "mrtrix", "bids_sidecar", "nifti"))
    for run in sorted(p for p in REAL.iterdir() if p.is_dir()):
        bval, bvec = (run / "dwi.bval").read_bytes(), (run / "dwi.bvec").read_bytes()
        write(fsl, f"{run.name}", bval + b"\0" + bvec)
        rows = [r.split() for r in bvec.decode().splitlines() if r.strip()]
        b = bval.split()
        lines = [" ".join([rows[0][i], rows[1][i], rows[2][i], b[i].decode()]) for i in range(len(b))]
        write(grad, f"{run.name}.b", ("# converted\n" + "\n".join(lines) + "\n").encode())
        write(side, f"{run.name}.json", (run / "dwi.json").read_bytes())
    write(fsl, "rows_of_three", b"0 1000 1000\n\0" + b"0 0 0\r\n1 0 0\r\n0 1 0\r\n\r\n")
    write(fsl, "axis_rows", b"0\t1000\n2000\0" + b"0 1 0\n0 0 1\n0 0 0\n")
    write(fsl, "nonfinite", b"nan -inf +1e3 .5\0" + b"1 0 0 NaN\n0 1 0 Infinity\n0 0 1 -0.\n")
    write(grad, "mixed.b", b"  # comment\n1 0 0 1000 extra\r\n\n0 1 0 1e3\n0 0 1 nan\n")
    write(side, "empty.json", b"{}")
    write(side, "nulls.json", b'{"PhaseEncodingDirection": null, "TotalReadoutTime": null}')
    write(side, "all.json",
          b'{"PhaseEncodingDirection": "j-", "TotalReadoutTime": 0.0467,'
          b' "MultibandAccelerationFactor": 3, "Other": [1, {"a": "\\u00e9"}]}')

    for code in TYPES:
        write(nii, f"t{code}.nii", nifti((2, 3, 2), code=code))
        write(nii, f"t{code}_be.nii", nifti((2, 3, 2), code=code, order=">"))
    write(nii, "dwi4d.nii", nifti((2, 2, 2, 3), sform=1))
    write(nii, "qform.nii", nifti((2, 2, 2), qform=1, pixdim0=-1.0))
    write(nii, "scaled.nii", nifti((2, 2, 1), code=4, slope=2.0, inter=1.0))
    write(nii, "five_d.nii", nifti((2, 1, 2, 2, 2), code=2))
    write(nii, "offset.nii", nifti((2, 2, 2), code=2, vox_offset=400.0))
    write(nii, "dwi4d.nii.gz", gzip.compress(nifti((2, 2, 2, 3), sform=1), mtime=0))
    write(nii, "mask.nii.gz", gzip.compress(nifti((3, 3, 2), code=2), mtime=0))


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "fuzz" / "corpus")
