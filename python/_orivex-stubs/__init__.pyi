# Type stubs of the native module _orivex: thirteen functions that take paths and numbers and
# return JSON text. Failures of the check raise ValueError with the message of the failure.
from typing import Any, SupportsFloat, SupportsIndex

_Real = SupportsFloat | SupportsIndex
_Threads = SupportsIndex | None
# Per-stage seconds: threads, decompress, convert, fit, coherence, other, total.
_Timings = dict[str, float]
# shape, affine, voxel_sizes, frame_map (lists) and v1, fa, s0, mask (little-endian bytes).
_Glyphs = dict[str, Any]

def version() -> str: ...
def build_features() -> list[str]: ...
def inspect(
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    strict: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> str: ...
def audit(
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    dwi: str | None = None,
    mask: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    strict: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> str: ...
def audit_with_glyphs(
    dwi: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    strict: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> tuple[str, _Glyphs]: ...
def audit_profiled(
    dwi: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    strict: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> tuple[str, _Timings]: ...
def audit_profiled_with_glyphs(
    dwi: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    strict: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> tuple[str, _Timings, _Glyphs]: ...
def audit_bids(
    root: str,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    strict: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> str: ...
def detect_flip(
    dwi: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    threads: _Threads = None,
) -> str: ...
def detect_flip_with_glyphs(
    dwi: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    threads: _Threads = None,
) -> tuple[str, _Glyphs]: ...
def repair(
    dwi: str,
    out_bvec: str,
    out_bval: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    out_grad: str | None = None,
    provenance: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    dry_run: bool = False,
    in_place: bool = False,
    strict: bool = False,
    force_repair: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> str: ...
def repair_with_glyphs(
    dwi: str,
    out_bvec: str,
    out_bval: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    out_grad: str | None = None,
    provenance: str | None = None,
    tolerance: _Real = 0.05,
    b0_threshold: _Real = 50.0,
    shell: _Real | None = None,
    step: _Real | None = None,
    margin_threshold: _Real = 0.02,
    dry_run: bool = False,
    in_place: bool = False,
    strict: bool = False,
    force_repair: bool = False,
    norm_tolerance: _Real = 0.05,
    threads: _Threads = None,
) -> tuple[str, _Glyphs]: ...
def recompute_bval(
    out_bvec: str,
    out_bval: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    out_grad: str | None = None,
    provenance: str | None = None,
    b0_threshold: _Real = 50.0,
    dry_run: bool = False,
    in_place: bool = False,
    threads: _Threads = None,
) -> str: ...
