// One verdict from two kinds of evidence: tracking decides, coherence is shown beside it. The
// verdict pipelines run the audit, detect and repair steps with this flip stage.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "orivex/support/defaults.hpp"
#include "orivex/support/error.hpp"
#include "orivex/analysis/flip.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/audit/provenance.hpp"
#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/repair.hpp"
#include "orivex/audit/report.hpp"
#include "orivex/analysis/tracking.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

struct Verdict {
  Decision decision = Decision::WARN;
  std::optional<std::string> recommended_label;  // FLAG only
  std::optional<Mat3> recommended_transform;     // FLAG only
  double relative_margin = 0.0;                  // (best − runner-up) / best mean length
  std::size_t given_rank = 0;                    // 1-based rank of the table as given
  double margin_threshold = default_verdict_margin;
  TrackingScore best;
  TrackingScore runner_up;
  double given_mean_length_mm = 0.0;
  Decision coherence_decision = Decision::WARN;
  std::string coherence_best;
  bool coherence_agrees = false;  // coherence's best has the axes of tracking's best
  std::vector<std::string> reasons;
};

// Tracks that do not on average get a few voxels away from their seeds have not followed
// anything: in an image without fibre structure the ranking of such stubs reflects how noise
// lines up with the gradient scheme, not anatomy.
inline constexpr double default_min_track_voxels = 3.0;

// PASS: the table as given has the longest tracks by at least the threshold. FLAG: another
// candidate has, and carries the correction. WARN: anything thinner, no seeds at all, a best mean
// length below `min_length_mm`, or coherence on its own would FLAG a correction other than
// tracking's best.
Verdict decide(const TrackingResult& tracking, const FlipResult& coherence,
               double margin_threshold, double min_length_mm = 0.0);

struct VerdictParams {
  TrackingParams tracking;
  double margin_threshold = default_verdict_margin;
  Vec3 voxel_sizes{1.0, 1.0, 1.0};  // of the DWI, for the step in millimetres
  double min_track_voxels = default_min_track_voxels;  // times the largest voxel size
  std::size_t qc_tracks = 0;         // tracks traced per shown candidate for the QC figure
};

struct VerdictTimings {
  Duration fit;
  Duration coherence;
  Duration tracking;
};

struct QcTracks {
  std::string label;
  Mat3 matrix{};
  std::vector<std::vector<Vec3>> lines;  // voxel coordinates
};

// What the QC figure draws: FA, the tracking region, and the tracks as given and under the other
// shown candidate (the recommendation, else tracking's best, else its runner-up).
struct QcData {
  std::array<std::size_t, 3> dims{};
  std::vector<double> fa;
  Mask region;
  std::vector<QcTracks> tracks;
};

struct VerdictOutcome {
  Report report;  // `flip` is the coherence evidence; `status` follows the verdict
  TrackingResult tracking;
  Verdict verdict;
  VerdictTimings timings;
  std::optional<QcData> qc;  // with qc_tracks > 0
};

// The audit and detect pipelines with the verdict. Coherence is measured in the caller's mask
// reduced to voxels with a valid fit and FA at or above the FA threshold (or, without a mask, in
// the usual white-matter mask); tracking runs in the region of tracking_region.
Result<VerdictOutcome> audit_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params,
                                          const VerdictParams& verdict_params);
Result<VerdictOutcome> detect_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                           const Mask* mask, std::vector<InputFile> inputs,
                                           const AuditParams& params,
                                           const VerdictParams& verdict_params);

struct VerdictRepair {
  VerdictOutcome outcome;              // its report carries the `repair` section
  std::optional<GradientTable> table;  // absent when nothing was applied
  std::vector<std::string> backups;
};

// The audit with the verdict, then the repair of repair_from_report with the verdict's correction
// (or, with force_repair on a WARN, tracking's best unless it is the table as given).
Result<VerdictRepair> repair_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params,
                                          const VerdictParams& verdict_params,
                                          const RepairSpec& request);

// Compact JSON: every key of the report, then `tracking` and `verdict`.
std::string to_json(const VerdictOutcome& outcome);
// The same members in the two-space layout of report files (no final line feed).
std::string to_pretty_json(const VerdictOutcome& outcome);

}  // namespace orivex
