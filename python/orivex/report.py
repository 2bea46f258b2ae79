"""Reports as Python objects: the status enum and one frozen class per report section.

Each class is read from the JSON text the native module returns and keeps that text, so
`to_json()` gives it back byte for byte and `to_dict()` gives the same data as plain Python.
"""

from __future__ import annotations

import enum
import html
import json
import math
from dataclasses import dataclass, field
from typing import Any, Optional

from orivex.pretty import pretty_json

Vector = tuple[float, float, float]
Matrix = tuple[Vector, Vector, Vector]
"""A 3 × 3 matrix by rows; it maps a column vector g to M·g."""


class Status(str, enum.Enum):
    """Outcome of a check, and of a flip or verdict decision.

    The members are also strings (``Status.FLAG == "FLAG"``) and order by severity:
    ``PASS < WARN < FLAG``.

    Examples
    --------
    >>> Status("WARN") > Status.PASS
    True
    """

    PASS = "PASS"
    WARN = "WARN"
    FLAG = "FLAG"

    def __str__(self) -> str:
        return self.value

    @property
    def severity(self) -> int:
        """0 for PASS, 1 for WARN, 2 for FLAG."""
        return _SEVERITY[self.value]

    # Ordering by severity, not by spelling ("FLAG" < "PASS" as text).
    def __lt__(self, other):
        return self.severity < Status(other).severity

    def __le__(self, other):
        return self.severity <= Status(other).severity

    def __gt__(self, other):
        return self.severity > Status(other).severity

    def __ge__(self, other):
        return self.severity >= Status(other).severity


_SEVERITY = {"PASS": 0, "WARN": 1, "FLAG": 2}


def _real(v) -> float:
    # The report writes NaN and the infinities as null; a null measurement reads back as NaN.
    return math.nan if v is None else float(v)


def _vector(v) -> Vector:
    return tuple(_real(x) for x in v)  # type: ignore[return-value]


def _matrix(m) -> Optional[Matrix]:
    return None if m is None else tuple(_vector(row) for row in m)  # type: ignore[return-value]


def _ints(v) -> tuple[int, ...]:
    return tuple(int(x) for x in v)


def _reals(v) -> tuple[float, ...]:
    return tuple(_real(x) for x in v)


@dataclass(frozen=True)
class _Document:
    """A JSON result of the native module, kept as the text it arrived in."""

    _text: str = field(repr=False, compare=False, kw_only=True)

    def to_json(self, pretty: bool = False, extra: Optional[dict[str, Any]] = None) -> str:
        """The JSON text this object was read from.

        Parameters
        ----------
        pretty : bool, optional
            Lay the text out with two-space indentation, one member or element per line,
            every number token unchanged (the layout of the files orivex writes).
        extra : dict, optional
            Members to append after the document's own, as plain JSON values (the BIDS App
            adds its `bids` section this way); the document's own tokens stay as they are.

        Returns
        -------
        str
            Without `pretty` and `extra`, exactly the text the module returned.
        """
        text = self._text
        if extra:
            added = "".join("," + json.dumps(k) + ":" + json.dumps(v, separators=(",", ":"),
                                                                    ensure_ascii=False)
                            for k, v in extra.items())
            text = text.rstrip()[:-1] + added + "}"
        return pretty_json(text) if pretty else text

    def to_dict(self) -> dict[str, Any]:
        """The JSON document as new plain Python objects (dicts keep the JSON key order).

        NaN and the infinities are None here, as the JSON writes them null.
        """
        return json.loads(self._text)


# ---------------------------------------------------------------------------------------------
# Sections of the report


@dataclass(frozen=True)
class InputFile:
    """One input file as the report identifies it."""

    path: str
    sha256: str
    bytes: int

    @classmethod
    def from_dict(cls, d: dict) -> "InputFile":
        return cls(d["path"], d["sha256"], int(d["bytes"]))


@dataclass(frozen=True)
class SchemeTable:
    """The gradient table the report describes: one direction and one b-value per volume."""

    directions: tuple[Vector, ...]
    bvals: tuple[float, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "SchemeTable":
        return cls(tuple(_vector(g) for g in d["directions"]), _reals(d["bvals"]))


@dataclass(frozen=True)
class Shell:
    """Volumes whose b-values group together within the relative tolerance."""

    nominal_b: float
    mean_b: float
    min_b: float
    max_b: float
    count: int
    indices: tuple[int, ...]
    is_b0: bool

    @classmethod
    def from_dict(cls, d: dict) -> "Shell":
        return cls(_real(d["nominal_b"]), _real(d["mean_b"]), _real(d["min_b"]), _real(d["max_b"]),
                   int(d["count"]), _ints(d["indices"]), bool(d["is_b0"]))


@dataclass(frozen=True)
class B0Summary:
    """The b0 volumes and the spacing between consecutive ones."""

    count: int
    indices: tuple[int, ...]
    spacings: tuple[int, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "B0Summary":
        return cls(int(d["count"]), _ints(d["indices"]), _ints(d["spacings"]))


@dataclass(frozen=True)
class ShellSummary:
    """Shells of the table, its b0 volumes and the volumes with non-integer b-values."""

    b0_threshold: float
    tolerance: float
    shells: tuple[Shell, ...]
    b0: B0Summary
    non_integer_bvals: tuple[int, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "ShellSummary":
        return cls(_real(d["b0_threshold"]), _real(d["tolerance"]),
                   tuple(Shell.from_dict(s) for s in d["shells"]), B0Summary.from_dict(d["b0"]),
                   _ints(d["non_integer_bvals"]))


@dataclass(frozen=True)
class B0Drift:
    """Mean signal of each b0 volume, its slope per volume and its peak-to-peak drift."""

    indices: tuple[int, ...]
    mean_signal: tuple[float, ...]
    slope: float
    relative_drift: float

    @classmethod
    def from_dict(cls, d: dict) -> "B0Drift":
        return cls(_ints(d["indices"]), _reals(d["mean_signal"]), _real(d["slope"]),
                   _real(d["relative_drift"]))


@dataclass(frozen=True)
class DuplicatePair:
    """Two directions of a shell closer than the duplicate angle (antipodal: g ≈ −h)."""

    i: int
    j: int
    angle_deg: float
    antipodal: bool

    @classmethod
    def from_dict(cls, d: dict) -> "DuplicatePair":
        return cls(int(d["i"]), int(d["j"]), _real(d["angle_deg"]), bool(d["antipodal"]))


@dataclass(frozen=True)
class ShellAngular:
    """Angular coverage of one shell.

    `electrostatic_energy` is the sum over direction pairs of 1/|g − h| + 1/|g + h| (lower is more
    uniform); `condition_number` is that of the tensor design matrix, None for fewer than six
    directions.
    """

    nominal_b: float
    count: int
    electrostatic_energy: float
    condition_number: Optional[float]
    meets_dti_minimum: bool
    meets_dti_recommended: bool
    meets_csd_minimum: bool
    duplicates: tuple[DuplicatePair, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "ShellAngular":
        cond = d["condition_number"]
        return cls(_real(d["nominal_b"]), int(d["count"]), _real(d["electrostatic_energy"]),
                   None if cond is None else float(cond), bool(d["meets_dti_minimum"]),
                   bool(d["meets_dti_recommended"]), bool(d["meets_csd_minimum"]),
                   tuple(DuplicatePair.from_dict(p) for p in d["duplicates"]))


@dataclass(frozen=True)
class AngularSummary:
    """Angular coverage of every non-b0 shell."""

    duplicate_angle_deg: float
    shells: tuple[ShellAngular, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "AngularSummary":
        return cls(_real(d["duplicate_angle_deg"]), tuple(ShellAngular.from_dict(s) for s in d["shells"]))


@dataclass(frozen=True)
class CandidateScore:
    """Fibre coherence of one signed axis permutation applied to the table.

    `label` writes the permutation as the signed source axis of each output axis ("-x+y+z"
    negates x; "+y+x+z" swaps x and y).
    """

    label: str
    matrix: Matrix
    is_identity: bool
    coherence: float
    n_samples: int

    @classmethod
    def from_dict(cls, d: dict) -> "CandidateScore":
        return cls(d["label"], _matrix(d["matrix"]), bool(d["is_identity"]), _real(d["coherence"]),
                   int(d["n_samples"]))


@dataclass(frozen=True)
class FlipResult:
    """The coherence evidence: all 48 candidates ranked, and the decision it supports on its own."""

    working_b: float
    n_wm_voxels: int
    mask_mean_fa: float
    ranking: tuple[CandidateScore, ...]
    best: CandidateScore
    runner_up: CandidateScore
    identity_coherence: float
    margin: float
    relative_margin: float
    margin_threshold: Optional[float]
    decision: Status
    recommended_transform: Optional[Matrix]
    recommended_label: Optional[str]

    @classmethod
    def from_dict(cls, d: dict) -> "FlipResult":
        mt = d.get("margin_threshold")
        return cls(_real(d["working_b"]), int(d["n_wm_voxels"]), _real(d["mask_mean_fa"]),
                   tuple(CandidateScore.from_dict(c) for c in d["ranking"]),
                   CandidateScore.from_dict(d["best"]), CandidateScore.from_dict(d["runner_up"]),
                   _real(d["identity_coherence"]), _real(d["margin"]), _real(d["relative_margin"]),
                   None if mt is None else float(mt), Status(d["decision"]),
                   _matrix(d["recommended_transform"]), d["recommended_label"])


@dataclass(frozen=True)
class RepairInfo:
    """The transform a repair applied and the files it wrote (none on a dry run)."""

    matrix: Matrix
    label: str
    outputs: tuple[str, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "RepairInfo":
        return cls(_matrix(d["matrix"]), d["label"], tuple(d["outputs"]))


@dataclass(frozen=True)
class NormStats:
    """Lengths of the non-b0 directions; non-unit ones are off 1 by more than `tolerance`."""

    non_b0_count: int
    non_unit_count: int
    non_unit_fraction: float
    norm_min: float
    norm_max: float
    norm_mean: float
    tolerance: float

    @classmethod
    def from_dict(cls, d: dict) -> "NormStats":
        return cls(int(d["non_b0_count"]), int(d["non_unit_count"]), _real(d["non_unit_fraction"]),
                   _real(d["norm_min"]), _real(d["norm_max"]), _real(d["norm_mean"]),
                   _real(d["tolerance"]))


# The tracking evidence and the verdict: the sections orivex._native adds to the report.


@dataclass(frozen=True)
class TrackingCandidate:
    """Mean length in mm of the tracks through the field as one candidate transform maps it."""

    label: str
    matrix: Matrix
    mean_length_mm: float

    @classmethod
    def from_dict(cls, d: dict) -> "TrackingCandidate":
        return cls(d["label"], _matrix(d["matrix"]), _real(d["mean_length_mm"]))


@dataclass(frozen=True)
class Tracking:
    """The tracking evidence: the 24 distinct candidates with their mean track length, best first.

    `seeds` tracks were started from `seed_voxels` voxels of the `region` ("mask": the given
    mask; "otsu": an Otsu mask of the mean b0) of `region_voxels` voxels, in steps of `step_mm`.
    """

    candidates: tuple[TrackingCandidate, ...]
    seeds: int
    seed_voxels: int
    step_mm: float
    region_voxels: int
    region: str

    @classmethod
    def from_dict(cls, d: dict) -> "Tracking":
        return cls(tuple(TrackingCandidate.from_dict(c) for c in d["candidates"]), int(d["seeds"]),
                   int(d["seed_voxels"]), _real(d["step_mm"]), int(d["region_voxels"]), d["region"])


@dataclass(frozen=True)
class CoherenceOpinion:
    """What the coherence evidence decides on its own, and whether it agrees with tracking."""

    decision: Status
    best: str
    agrees: bool

    @classmethod
    def from_dict(cls, d: dict) -> "CoherenceOpinion":
        return cls(Status(d["decision"]), d["best"], bool(d["agrees"]))


@dataclass(frozen=True)
class EvidencePass:
    """One look at the tracking evidence: "first pass", "more seeds" (the first pass's seeds
    and more) or "smoothed field" (a check that noise, not the anatomy, cut the tracks short)."""

    evidence: str
    seeds: int
    best: str
    relative_margin: float
    relative_margin_se: float
    z: float

    @classmethod
    def from_dict(cls, d: dict) -> "EvidencePass":
        return cls(d["evidence"], int(d["seeds"]), d["best"], _real(d["relative_margin"]),
                   _real(d["relative_margin_se"]), _real(d["z"]))


@dataclass(frozen=True)
class MarginUncertainty:
    """The spread of the deciding pass's margin, from its seeds.

    `lead_mm` is the mean per-seed lead in track length of the best candidate over the closest
    other one, `lead_se_mm` its standard error between cubes of `block_mm` (`blocks` of them),
    `z` their ratio; a decision needs `z_needed`. `relative_margin_se` is the standard error
    relative to the best mean length. `passes` lists every look, `deciding_pass` indexes it.
    """

    relative_margin_se: float
    lead_mm: float
    lead_se_mm: float
    z: float
    z_needed: float
    block_mm: float
    blocks: int
    escalated: bool
    deciding_pass: int
    passes: tuple[EvidencePass, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "MarginUncertainty":
        return cls(_real(d["relative_margin_se"]), _real(d["lead_mm"]), _real(d["lead_se_mm"]),
                   _real(d["z"]), _real(d["z_needed"]), _real(d["block_mm"]), int(d["blocks"]),
                   bool(d["escalated"]), int(d["deciding_pass"]),
                   tuple(EvidencePass.from_dict(p) for p in d["passes"]))


@dataclass(frozen=True)
class EvidenceLimits:
    """What bounds the answer: the working shell's directions and the condition number of their
    tensor design, the region's coverage ("whole", or "partial" with the axes the grid cuts it
    along and its extent in mm), the mean track length below which nothing is decided, and
    plain-words notes."""

    directions: int
    condition_number: float
    coverage: str
    cut_axes: str
    extent_mm: Vector
    min_length_mm: float
    notes: tuple[str, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "EvidenceLimits":
        return cls(int(d["directions"]), _real(d["condition_number"]), d["coverage"], d["cut_axes"],
                   _vector(d["extent_mm"]), _real(d["min_length_mm"]), tuple(d["notes"]))


@dataclass(frozen=True)
class VerdictEvidence:
    """The figures a verdict was drawn from: the two longest candidates, the table as given and
    the coherence opinion beside them."""

    decided_by: str
    margin_threshold: float
    best: TrackingCandidate
    runner_up: TrackingCandidate
    given_mean_length_mm: float
    coherence: CoherenceOpinion
    uncertainty: Optional[MarginUncertainty] = None

    @classmethod
    def from_dict(cls, d: dict) -> "VerdictEvidence":
        return cls(d["decided_by"], _real(d["margin_threshold"]), TrackingCandidate.from_dict(d["best"]),
                   TrackingCandidate.from_dict(d["runner_up"]), _real(d["given_mean_length_mm"]),
                   CoherenceOpinion.from_dict(d["coherence"]),
                   _optional(d, "uncertainty", MarginUncertainty))


@dataclass(frozen=True)
class Verdict:
    """The one decision drawn from the evidence, with where the table as given ranks (1 = best)."""

    decision: Status
    recommended_label: Optional[str]
    recommended_transform: Optional[Matrix]
    relative_margin: float
    given_rank: int
    evidence: VerdictEvidence
    reasons: tuple[str, ...]
    limits: Optional[EvidenceLimits] = None

    @classmethod
    def from_dict(cls, d: dict) -> "Verdict":
        return cls(Status(d["decision"]), d["recommended_label"], _matrix(d["recommended_transform"]),
                   _real(d["relative_margin"]), int(d["given_rank"]),
                   VerdictEvidence.from_dict(d["evidence"]), tuple(d["reasons"]),
                   _optional(d, "limits", EvidenceLimits))


@dataclass(frozen=True)
class VolumeHypothesis:
    """One hypothesis tried on a volume: `z` is how many standard errors closer the volume lies
    to it than to its row as given, `residual` its misfit under it (1 = typical of its shell)."""

    z: float
    residual: float


@dataclass(frozen=True)
class VolumeEntry:
    """One diffusion-weighted volume against its row.

    `misfit` is its residual from its row as given over the typical one of its shell; `fits` is
    what explains it: "given", "axes", "row", "b_scale" or "none". The best other axes
    (`axes_label`), other row (`row`, tried only for volumes that misfit) and b-value scale
    (`b_scale`) each carry their evidence.
    """

    volume: int
    b: float
    misfit: float
    fits: str
    axes_label: str
    axes: VolumeHypothesis
    row: Optional[int]
    row_evidence: Optional[VolumeHypothesis]
    b_scale: float
    b_scale_evidence: VolumeHypothesis

    @classmethod
    def from_dict(cls, d: dict) -> "VolumeEntry":
        ev = lambda h: VolumeHypothesis(_real(h["z"]), _real(h["residual"]))  # noqa: E731
        row = d["row"]
        return cls(int(d["volume"]), _real(d["b"]), _real(d["misfit"]), d["fits"],
                   d["axes"]["label"], ev(d["axes"]), None if row is None else int(row["volume"]),
                   None if row is None else ev(row), _real(d["b_scale"]["scale"]), ev(d["b_scale"]))


@dataclass(frozen=True)
class Volumes:
    """Every diffusion-weighted volume checked against its own row of the table.

    `pattern` is "none", "partial_flip", "swapped_rows", "shifted_rows", "b_value" or
    "foreign_table"; `suspect` the 0-based volume indices it concerns. What explains them:
    `label` (the axes a partial flip's volumes fit under), `rows` (the row each swapped volume
    fits, in the order of `suspect`), `shift` (every row's offset along the series) and `b_scales`
    (each suspect's b-value factor); `summary` says it in words. When `checked` is false,
    `reason` says why and nothing was decided. The whole-table evidence: `explained`, the share
    of the direction-dependent signal the table captures of what the best six tensor terms of
    any table could (above chance: about 1 right, 0 unrelated); `structure`, how clearly the
    signal shows six terms at all; `signal`, the part of the signal above chance that six terms
    hold (1 noiseless, about 0 noise; below 0.3 no volume is judged); `shift_ratio`, the residual with every row shifted over the
    table's own; `rotation_ratio`, the longest mean track with the axes turned 25° over the
    track as given.
    """

    checked: bool
    reason: Optional[str]
    pattern: str
    suspect: tuple[int, ...]
    label: Optional[str]
    rows: tuple[int, ...]
    shift: Optional[int]
    b_scales: tuple[float, ...]
    summary: str
    voxels: int
    explained: float
    structure: float
    signal: float
    shift_ratio: float
    rotation_ratio: float
    entries: tuple[VolumeEntry, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "Volumes":
        x, ev = d["explanation"], d["evidence"]
        return cls(bool(d["checked"]), d["reason"], d["pattern"], _ints(d["suspect"]), x["label"],
                   _ints(x["rows"]), None if x["shift"] is None else int(x["shift"]),
                   _reals(x["b_scales"]), x["summary"], int(ev["voxels"]), _real(ev["explained"]),
                   _real(ev["structure"]), _real(ev["signal"]), _real(ev["shift_ratio"]), _real(ev["rotation_ratio"]),
                   tuple(VolumeEntry.from_dict(e) for e in d["entries"]))


# What the BIDS App adds to a run's report.


@dataclass(frozen=True)
class RunRecord:
    """A BIDS run's `bids` section: where the run is, what was read and written, and how.

    `protocol` holds the acquisition facts that runs of one protocol share (scanner, software,
    phase encoding, image orientation, shells); `protocol_key` joins them into one text.
    `options` and `generated_by` say how the report was made: a report made otherwise is out of
    date. `outputs` are the files written for the run, relative to the output folder.
    """

    source: str
    entities: tuple[tuple[str, str], ...]
    inputs: tuple[InputFile, ...]
    mask: Optional[str]
    options: dict[str, Any]
    generated_by: dict[str, Any]
    protocol: dict[str, Any]
    protocol_key: str
    outputs: tuple[str, ...]
    notes: tuple[str, ...]

    @classmethod
    def from_dict(cls, d: dict) -> "RunRecord":
        proto = dict(d.get("protocol") or {})
        key = proto.pop("key", None) or "n/a"
        return cls(d["source"], tuple((str(k), str(v)) for k, v in d["entities"].items()),
                   tuple(InputFile.from_dict(f) for f in d["inputs"]), d.get("mask"),
                   dict(d["options"]), dict(d["generated_by"]), proto, key,
                   tuple(d["outputs"]), tuple(d["notes"]))

    def to_dict(self) -> dict[str, Any]:
        """The section as the JSON it is written as."""
        return {
            "source": self.source, "entities": dict(self.entities),
            "inputs": [{"path": f.path, "sha256": f.sha256, "bytes": f.bytes} for f in self.inputs],
            "mask": self.mask, "options": self.options, "generated_by": self.generated_by,
            "protocol": {**self.protocol, "key": self.protocol_key},
            "outputs": list(self.outputs), "notes": list(self.notes),
        }


# ---------------------------------------------------------------------------------------------
# The documents


def _optional(d: dict, key: str, cls):
    value = d.get(key)
    return None if value is None else cls.from_dict(value)


@dataclass(frozen=True)
class Report(_Document):
    """The result of an inspection, audit, flip detection or repair.

    Sections that a call does not produce are None. `notes` are the findings, in the order the
    checks ran.

    Attributes
    ----------
    status : Status
        PASS, WARN or FLAG.
    scheme : SchemeTable
        The table that was checked (directions and b-values as read).
    shells, angular, norm_stats : optional
        The analyses of the table.
    b0_drift, flip : optional
        The analyses against the image (audit, flip detection, repair).
    repair : RepairInfo, optional
        The transform a repair applied.
    tracking, verdict : optional
        The tracking evidence and the verdict drawn from it, when the call produced them.
    volumes : Volumes, optional
        Every diffusion-weighted volume against its row, beside the verdict.
    bids : RunRecord, optional
        The BIDS App's record of a run, in the reports it writes.
    timings : dict, optional
        Seconds per stage, when asked for with ``profile=True``; not part of the JSON.
    qc_data : dict, optional
        The per-voxel data behind the QC figure, when asked for; not part of the JSON.

    Examples
    --------
    >>> report = orivex.audit("dwi.nii.gz", "dwi.bvec", "dwi.bval")  # doctest: +SKIP
    >>> report.status, report.recommended_label                     # doctest: +SKIP
    (<Status.FLAG: 'FLAG'>, '-x+y+z')
    """

    schema_version: int
    tool: str
    tool_version: str
    timestamp: str
    status: Status
    inputs: tuple[InputFile, ...]
    scheme: SchemeTable
    shells: Optional[ShellSummary]
    b0_drift: Optional[B0Drift]
    angular: Optional[AngularSummary]
    flip: Optional[FlipResult]
    repair: Optional[RepairInfo]
    norm_stats: Optional[NormStats]
    notes: tuple[str, ...]
    tracking: Optional[Tracking] = None
    verdict: Optional[Verdict] = None
    volumes: Optional[Volumes] = None
    bids: Optional[RunRecord] = None
    timings: Optional[dict[str, float]] = field(default=None, repr=False, compare=False)
    qc_data: Optional[dict[str, Any]] = field(default=None, repr=False, compare=False)

    @classmethod
    def from_json(cls, text: str, *, timings=None, qc_data=None) -> "Report":
        """Read a report from its JSON text (compact as returned, or a pretty report file).

        Examples
        --------
        >>> from pathlib import Path
        >>> report = Report.from_json(Path("sub-01_dwi_report.json").read_text())  # doctest: +SKIP
        """
        return cls._from_dict(json.loads(text), text, timings, qc_data)

    @classmethod
    def _from_dict(cls, d: dict, text: str, timings=None, qc_data=None) -> "Report":
        return cls(
            schema_version=int(d["schema_version"]), tool=d["tool"], tool_version=d["tool_version"],
            timestamp=d["timestamp"], status=Status(d["status"]),
            inputs=tuple(InputFile.from_dict(f) for f in d["inputs"]),
            scheme=SchemeTable.from_dict(d["scheme"]), shells=_optional(d, "shells", ShellSummary),
            b0_drift=_optional(d, "b0_drift", B0Drift), angular=_optional(d, "angular", AngularSummary),
            flip=_optional(d, "flip", FlipResult), repair=_optional(d, "repair", RepairInfo),
            norm_stats=_optional(d, "norm_stats", NormStats), notes=tuple(d["notes"]),
            tracking=_optional(d, "tracking", Tracking), verdict=_optional(d, "verdict", Verdict),
            volumes=_optional(d, "volumes", Volumes), bids=_optional(d, "bids", RunRecord),
            timings=timings, qc_data=qc_data, _text=text,
        )

    @property
    def recommended_label(self) -> Optional[str]:
        """The recommended correction's label: the verdict's when there is one, else the flip
        detection's; None when nothing is recommended."""
        source = self.verdict or self.flip
        return None if source is None else source.recommended_label

    @property
    def recommended_transform(self) -> Optional[Matrix]:
        """The recommended correction's matrix, from the same source as `recommended_label`."""
        source = self.verdict or self.flip
        return None if source is None else source.recommended_transform

    def __repr__(self) -> str:
        parts = [f"status={self.status.value}"]
        if self.shells is not None:
            parts.append("shells=[" + ", ".join(_b(s) for s in self.shells.shells) + "]")
        if self.verdict is not None:
            parts.append(f"verdict={self.verdict.decision.value}")
        if self.flip is not None:
            parts.append(f"flip={self.flip.decision.value}")
        if self.recommended_label is not None:
            parts.append(f"recommended={self.recommended_label}")
        if self.repair is not None:
            parts.append(f"repaired={self.repair.label}")
        parts.append(f"notes={len(self.notes)}")
        return "Report(" + ", ".join(parts) + ")"

    def _repr_html_(self) -> str:
        rows = [("inputs", ", ".join(f.path.rsplit("/", 1)[-1] for f in self.inputs) or "none")]
        if self.shells is not None:
            rows.append(("shells", ", ".join(
                f"{_b(s)} ×{s.count}" for s in self.shells.shells)))
        if self.angular is not None:
            for a in self.angular.shells:
                cond = "n/a" if a.condition_number is None else f"{a.condition_number:.2f}"
                dti = "ok" if a.meets_dti_recommended else "minimum" if a.meets_dti_minimum else "no"
                rows.append((f"b={a.nominal_b:g}", f"{a.count} directions, condition number {cond}, "
                             f"DTI {dti}, CSD {'ok' if a.meets_csd_minimum else 'no'}"))
        if self.tracking is not None and self.verdict is not None:
            top = ", ".join(f"{c.label} {c.mean_length_mm:.1f} mm" for c in self.tracking.candidates[:3])
            rows.append(("tracking", f"mean track length: {top}"))
            rows.append(("verdict", f"{self.verdict.decision.value}, table as given ranks "
                         f"{self.verdict.given_rank} of {len(self.tracking.candidates)}"))
        if self.volumes is not None:
            rows.append(("volumes", volumes_line(self.volumes)))
        if self.flip is not None:
            f = self.flip
            rows.append(("coherence", f"{f.decision.value}: best {f.best.label} vs runner-up "
                         f"{f.runner_up.label}, relative margin {100 * f.relative_margin:.2f}%"))
        if self.recommended_label is not None:
            rows.append(("recommended", self.recommended_label))
        if self.repair is not None:
            rows.append(("repair", f"applied {self.repair.label}; wrote {len(self.repair.outputs)} files"))
        rows.append(("findings", list(self.notes) or "none"))
        return _html_table(f"orivex {self.tool_version}", self.status, rows)


@dataclass(frozen=True)
class RunError(_Document):
    """A BIDS run that could not be audited: the BIDS App's report of it says why."""

    tool_version: str
    timestamp: str
    error: str
    bids: RunRecord
    status: str = "ERROR"

    @classmethod
    def create(cls, tool_version: str, timestamp: str, error: str, bids: RunRecord) -> "RunError":
        """A new error report, laid out like the reports of audited runs."""
        doc = {"schema_version": 1, "tool": "orivex", "tool_version": tool_version,
               "timestamp": timestamp, "status": "ERROR", "error": error, "bids": bids.to_dict()}
        return cls(tool_version, timestamp, error, bids,
                   _text=json.dumps(doc, indent=2, ensure_ascii=False))


def read_run_report(text: str, loads: Any = json.loads) -> "Report | RunError":
    """A per-run report the BIDS App wrote: the run's Report with its `bids` section, or the
    RunError of a run that could not be audited. `loads` parses the text (the BIDS App passes
    its strict, depth-bounded parser for files it did not just write)."""
    d = loads(text)
    if not isinstance(d, dict):
        raise ValueError("is not a JSON object")
    if d.get("status") == "ERROR":
        return RunError(d["tool_version"], d["timestamp"], d["error"],
                        RunRecord.from_dict(d["bids"]), _text=text)
    return Report._from_dict(d, text)


@dataclass(frozen=True)
class ShellCount:
    """A shell's nominal b-value and its number of volumes."""

    nominal_b: float
    count: int

    @classmethod
    def from_dict(cls, d: dict) -> "ShellCount":
        return cls(_real(d["nominal_b"]), int(d["count"]))


@dataclass(frozen=True)
class RecomputeSummary(_Document):
    """The result of a b-value recovery: the nominal b, the norm range and the shells before and after."""

    b_nominal: float
    max_norm: float
    b_min: float
    b_max: float
    before: tuple[ShellCount, ...]
    after: tuple[ShellCount, ...]
    outputs: tuple[str, ...]

    @classmethod
    def from_json(cls, text: str) -> "RecomputeSummary":
        """Read a recovery summary from its JSON text."""
        d = json.loads(text)
        return cls(_real(d["b_nominal"]), _real(d["max_norm"]), _real(d["b_min"]), _real(d["b_max"]),
                   tuple(ShellCount.from_dict(s) for s in d["before"]),
                   tuple(ShellCount.from_dict(s) for s in d["after"]), tuple(d["outputs"]), _text=text)

    def _repr_html_(self) -> str:
        shells = lambda ss: ", ".join(f"b={s.nominal_b:g} ×{s.count}" for s in ss) or "none"  # noqa: E731
        rows = [("nominal b", f"{self.b_nominal:g} at |g| = {self.max_norm:.4f}"),
                ("recovered", f"non-b0 b-values from {self.b_min:g} to {self.b_max:g}"),
                ("before", shells(self.before)), ("after", shells(self.after)),
                ("written", ", ".join(self.outputs) or "nothing (dry run)")]
        return _html_table("orivex b-value recovery", None, rows)


@dataclass(frozen=True)
class BidsRun:
    """One run of a BIDS dataset as the group level sees it.

    `status` is PASS, WARN, FLAG or ERROR; `best_label` is a FLAG's correction, else the best
    candidate; `volumes` the volume check's pattern (None when not checked); `protocol` is the
    id of the run's protocol (None for a run that failed); `report` and `qc` are paths relative
    to the output folder.
    """

    path: str
    entities: dict[str, str]
    status: str
    best_label: Optional[str]
    relative_margin: Optional[float]
    given_rank: Optional[int]
    protocol: Optional[str]
    report: str
    qc: Optional[str]
    error: Optional[str]
    volumes: Optional[str] = None

    @classmethod
    def from_dict(cls, d: dict) -> "BidsRun":
        return cls(d["path"], dict(d["entities"]), d["status"], d["best_label"],
                   d["relative_margin"], d["given_rank"], d["protocol"], d["report"], d["qc"],
                   d.get("error"), d.get("volumes"))


@dataclass(frozen=True)
class Outlier:
    """A run whose own evidence prefers another candidate than its protocol's verdict."""

    run: str
    best_label: str
    relative_margin: float


@dataclass(frozen=True)
class ProtocolVerdict:
    """The runs of one protocol pooled into one orientation verdict.

    `relative_margin` is the median of the runs' margins, `combined_margin` the pooled one;
    `decision` is None when the runs give too little evidence to pool. `volume_patterns` counts
    the runs by the pattern of their volume check ("none" when every volume fits its row).
    """

    id: str
    key: str
    fields: dict[str, Any]
    counts: dict[str, int]
    decision: Optional[str]
    best_label: Optional[str]
    runner_up: Optional[str]
    relative_margin: Optional[float]
    combined_margin: Optional[float]
    agreement: Optional[float]
    n_runs: int
    n_total: int
    threshold: float
    evidence: Optional[str]
    outliers: tuple[Outlier, ...]
    volume_patterns: dict[str, int] = field(default_factory=dict)

    @classmethod
    def from_dict(cls, d: dict) -> "ProtocolVerdict":
        return cls(d["id"], d["key"], dict(d["fields"]), dict(d["counts"]), d["decision"],
                   d["best_label"], d["runner_up"], d["relative_margin"], d["combined_margin"],
                   d["agreement"], int(d["n_runs"]), int(d["n_total"]), d["threshold"],
                   d["evidence"], tuple(Outlier(**o) for o in d["outliers"]),
                   dict(d.get("volume_patterns") or {}))


@dataclass(frozen=True)
class BidsSummary(_Document):
    """A BIDS dataset's summary (``dataset_summary.json``): the status of the most severe run,
    the counts by status, one verdict per protocol and one entry per run."""

    bids_dir: str
    tool_version: str
    n_runs: int
    status: Optional[str]
    counts: dict[str, int]
    protocols: tuple[ProtocolVerdict, ...]
    runs: tuple[BidsRun, ...]
    unreadable_reports: tuple[dict[str, str], ...]

    @classmethod
    def from_json(cls, text: str) -> "BidsSummary":
        """Read a dataset summary from its JSON text."""
        d = json.loads(text)
        return cls(d["bids_dir"], d["tool_version"], int(d["n_runs"]), d["status"],
                   dict(d["counts"]), tuple(ProtocolVerdict.from_dict(p) for p in d["protocols"]),
                   tuple(BidsRun.from_dict(r) for r in d["results"]),
                   tuple(d["unreadable_reports"]), _text=text)

    def _repr_html_(self) -> str:
        rows = [(p.id, f"{p.decision or 'n/a'} {p.best_label or ''} ({p.n_total} runs) {p.key}")
                for p in self.protocols]
        rows += [(r.path, f"{r.status} {r.best_label or ''}".rstrip()) for r in self.runs]
        status = None if self.status in (None, "ERROR") else Status(self.status)
        return _html_table(f"orivex BIDS dataset, {self.n_runs} runs", status, rows)


@dataclass(frozen=True)
class BidsResult:
    """What a BIDS App run did: the exit code the command line would give, the output folder,
    the participant level's counts (PASS, WARN, FLAG, ERROR, skipped) when it ran, and the
    dataset summary when the group level ran."""

    exit_code: int
    output_dir: str
    participant: Optional[dict[str, int]]
    summary: Optional[BidsSummary]


def volumes_line(v: Volumes) -> str:
    """The volume check in one line."""
    if not v.checked:
        return f"not checked: {v.reason}"
    if v.pattern == "none":
        return f"every one of {len(v.entries)} diffusion-weighted volumes fits its row"
    return f"{v.pattern}: {v.summary}"


def _b(shell: Shell) -> str:
    return "b0" if shell.is_b0 else f"b={shell.nominal_b:g}"


_COLOURS = {"PASS": "#1a7f37", "WARN": "#b35900", "FLAG": "#c62828"}


def _html_table(title: str, status: Optional[Status], rows) -> str:
    """A status badge, a title and a two-column table; a list value is shown one item a line."""
    head = f"<strong>{html.escape(title)}</strong>"
    if status is not None:
        head = (f'<span style="color:#fff;background:{_COLOURS[status.value]};padding:1px 6px;'
                f'border-radius:3px;font-weight:bold">{status.value}</span> ' + head)
    body = []
    for key, value in rows:
        cell = "<br>".join(map(html.escape, value)) if isinstance(value, list) else html.escape(value)
        body.append(f'<tr><th style="text-align:left;padding-right:1em">{html.escape(key)}</th>'
                    f'<td style="text-align:left">{cell}</td></tr>')
    return f'<div class="orivex">{head}<table>{"".join(body)}</table></div>'
