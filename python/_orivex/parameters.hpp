// Every parameter of both modules, declared once: name, kind, default and a one-line doc.
//
// The functions' parameter lists name entries of this table; their text signatures and
// docstrings are generated from it, and orivex._native.parameters() hands it to the Python
// package, whose API defaults, command-line defaults and help, and stubs are read from it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "args.hpp"
#include "orivex/analysis/tracking.hpp"
#include "orivex/support/defaults.hpp"

namespace orivex::py {

inline constexpr std::uint64_t default_qc_tracks = 1000;

inline constexpr Param parameter_table[] = {
    {"root", Kind::OptPath, 0.0, 0, "BIDS dataset root"},
    {"dwi", Kind::OptPath, 0.0, 0, "DWI NIfTI (.nii/.nii.gz)"},
    {"out_bvec", Kind::OptPath, 0.0, 0, "FSL bvec to write"},
    {"out_bval", Kind::OptPath, 0.0, 0, "FSL bval to write"},
    {"bvec", Kind::OptPath, 0.0, 0, "FSL bvec file"},
    {"bval", Kind::OptPath, 0.0, 0, "FSL bval file"},
    {"grad", Kind::OptPath, 0.0, 0, "MRtrix grad file (takes precedence over bvec/bval)"},
    {"mask", Kind::OptPath, 0.0, 0, "brain or white-matter mask NIfTI on the DWI's grid"},
    {"out_grad", Kind::OptPath, 0.0, 0, "MRtrix table to write as well"},
    {"provenance", Kind::OptPath, 0.0, 0, "provenance record (JSON) to write"},
    {"tolerance", Kind::Real, default_tolerance, 0, "relative shell tolerance"},
    {"b0_threshold", Kind::Real, default_b0_threshold, 0, "b-values at or below are b0"},
    {"shell", Kind::OptReal, 0.0, 0, "b-value of the shell used for flip detection"},
    {"step", Kind::OptReal, 0.0, 0,
     "coherence sampling step in voxels (default from the voxel size)"},
    {"margin_threshold", Kind::Real, default_margin_threshold, 0,
     "relative margin the best coherence candidate must win by"},
    {"dry_run", Kind::Flag, 0.0, 0, "decide and report, write nothing"},
    {"in_place", Kind::Flag, 0.0, 0, "replace existing outputs (originals kept as .bak)"},
    {"strict", Kind::Flag, 0.0, 0,
     "promote severe findings to WARN; fail on amplitude-encoded bvecs"},
    {"force_repair", Kind::Flag, 0.0, 0, "also apply the best candidate on a WARN decision"},
    {"fix_volumes", Kind::Flag, 0.0, 0,
     "also mend the rows a partial_flip or shifted_rows volume finding names"},
    {"norm_tolerance", Kind::Real, default_norm_tolerance, 0, "direction-norm tolerance"},
    {"threads", Kind::Threads, 0.0, 0, "worker threads"},
    {"seeds", Kind::OptCount, 0.0, TrackingParams{}.seeds,
     "tracking seeds of the first pass; an unclear one tracks up to 4 times as many"},
    {"verdict_margin", Kind::Real, default_verdict_margin, 0,
     "relative margin the longest tracks must win by"},
    {"memory_limit", Kind::OptCount, 0.0, 0,
     "bytes the DWI's float array may take; a larger image is refused before it is read "
     "(default: the memory available now)"},
    {"profile", Kind::Flag, 0.0, 0, "also give the seconds spent in each stage"},
    {"qc", Kind::Flag, 0.0, 0, "also give the data of the QC figure"},
    {"qc_tracks", Kind::OptCount, 0.0, default_qc_tracks,
     "tracks traced per shown candidate for the QC figure"},
    {"pretty", Kind::Flag, 0.0, 0, "give the report in the two-space layout of report files"},
    {"coherence", Kind::Flag, 0.0, 0,
     "the coherence evidence alone: _orivex's audit report, with the QC data of its glyphs"},
    {"keep_pool", Kind::Flag, 0.0, 0,
     "keep this thread's pool of `threads` workers for its next call"},
};

// The table's entry of that name; an unknown name does not compile where used in a constant.
consteval Param param(std::string_view name) {
  for (const Param& p : parameter_table)
    if (name == p.name) return p;
  throw "no such parameter";
}

// The table as a new dict {name: (kind, default, doc)} in declared order, or nullptr with the
// exception set. Kinds: "path", "real", "flag", "count", "threads"; the default is None where
// there is none.
PyObject* parameters_dict();

}  // namespace orivex::py
