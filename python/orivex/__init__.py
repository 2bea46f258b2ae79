"""orivex: checker and repairer of diffusion-MRI gradient tables.

>>> import orivex
>>> report = orivex.audit("dwi.nii.gz", "dwi.bvec", "dwi.bval")  # doctest: +SKIP
>>> report.status, report.recommended_label                     # doctest: +SKIP
(<Status.FLAG: 'FLAG'>, '-x+y+z')
"""

from orivex.api import audit, bids, detect_flip, inspect, recompute_bval, repair, version
# The report types load on first use: a command line can then import them while its first
# native call runs.
_REPORT_TYPES = frozenset({
    "AngularSummary", "B0Drift", "B0Summary", "BidsResult", "BidsRun", "BidsSummary",
    "CandidateScore", "Outlier", "ProtocolVerdict", "RunError", "RunRecord",
    "DuplicatePair", "FlipResult", "InputFile", "NormStats", "RecomputeSummary", "RepairInfo",
    "Report", "SchemeTable", "Shell", "ShellAngular", "ShellCount", "ShellSummary", "Status",
    "Tracking", "TrackingCandidate", "Verdict", "CoherenceOpinion", "VerdictEvidence",
    "Volumes", "VolumeEntry", "VolumeHypothesis",
})


def __getattr__(name):
    if name in _REPORT_TYPES:
        from orivex import report

        return getattr(report, name)
    raise AttributeError(f"module 'orivex' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | _REPORT_TYPES)


__version__ = version()

__all__ = [
    "inspect", "audit", "detect_flip", "repair", "recompute_bval", "bids", "version",
    "Report", "Status", "RecomputeSummary", "BidsResult", "BidsSummary", "BidsRun", "ProtocolVerdict",
    "Outlier", "RunRecord", "RunError",
    "InputFile", "SchemeTable", "ShellSummary", "Shell", "B0Summary", "B0Drift", "AngularSummary",
    "ShellAngular", "DuplicatePair", "FlipResult", "CandidateScore", "RepairInfo", "NormStats",
    "ShellCount", "Tracking", "TrackingCandidate", "Verdict", "VerdictEvidence", "CoherenceOpinion",
    "Volumes", "VolumeEntry", "VolumeHypothesis",
]
