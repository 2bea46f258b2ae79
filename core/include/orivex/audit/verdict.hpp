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
#include "orivex/analysis/evidence.hpp"
#include "orivex/analysis/tracking.hpp"
#include "orivex/analysis/volumes.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

// A shell of this many directions or fewer leaves the tensor fit little or no redundancy: six
// unknowns, and every noisy sample moves the direction.
inline constexpr std::size_t few_directions = 12;

// How many standard errors of the seed spread the best candidate's lead over every other one
// must reach before anything is decided. A wrong candidate truly level with the right one gets
// past 3 on one comparison about once in 700 (one-sided normal tail), and a decision needs the
// margin threshold and tracks long enough to judge by besides. On degraded real scans and
// phantoms (bench/degraded_sweep.py) no wrong candidate ever led by more than half a standard
// error; clear scans lead by 5 to 16.
inline constexpr double default_verdict_z = 3.0;
// Factor by which an escalating verdict first multiplies the seeds, and the factor it may double
// them up to while the noise test can still be passed (both capped by the eligible voxels).
inline constexpr std::size_t default_escalation_seed_factor = 4;
inline constexpr std::size_t default_max_seed_factor = 8;
// Tracks that noise ends early still decide, once escalated evidence clears the noise, if they
// reach this part of the minimum mean length.
inline constexpr double default_noise_length_fraction = 0.5;
// The part of the margin threshold an escalated verdict needs besides the noise test (2% at
// the default threshold).
inline constexpr double default_escalated_margin_fraction = 0.4;

// One look at the tracking evidence: the seeds and field it tracked and what it measured.
struct EvidencePass {
  std::string evidence;  // "first pass", "more seeds", "smoothed field"
  std::size_t seeds = 0;
  std::string best;
  double relative_margin = 0.0;
  MarginSpread spread;
  double relative_margin_se = 0.0;  // spread.lead_se_mm / best mean length
};

// What bounds the answer besides the seeds: the directions the tensor was fitted from, and how
// much of the anatomy the image holds.
struct EvidenceLimits {
  std::size_t directions = 0;      // of the working shell
  double condition_number = 0.0;   // of the tensor design over those directions
  Coverage coverage;
  double min_length_mm = 0.0;      // mean track length below which nothing is decided
  std::vector<std::string> notes;  // plain words, for the report
};

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
  std::vector<EvidencePass> passes;  // every look, in order
  std::size_t deciding_pass = 0;     // the one whose evidence decided
  double z_needed = default_verdict_z;
  EvidenceLimits limits;
};

// Tracks that do not on average get a few voxels away from their seeds have not followed
// anything: in an image without fibre structure the ranking of such stubs reflects how noise
// lines up with the gradient scheme, not anatomy.
inline constexpr double default_min_track_voxels = 3.0;

// PASS: the table as given has the longest tracks by at least the threshold and beyond the
// noise (`spread`, when given: its lead over every other candidate reaches `z_needed` standard
// errors). FLAG: another candidate has, and carries the correction. WARN: anything thinner, no
// seeds at all, a best mean length below `min_length_mm`, or coherence on its own would FLAG a
// correction other than tracking's best.
Verdict decide(const TrackingResult& tracking, const FlipResult& coherence,
               double margin_threshold, double min_length_mm = 0.0,
               const MarginSpread* spread = nullptr, double z_needed = default_verdict_z);

struct VerdictParams {
  TrackingParams tracking;
  double margin_threshold = default_verdict_margin;
  Vec3 voxel_sizes{1.0, 1.0, 1.0};  // of the DWI, for the step in millimetres
  double min_track_voxels = default_min_track_voxels;  // times the largest voxel size
  std::size_t qc_tracks = 0;         // tracks traced per shown candidate for the QC figure
  // Repair: also mend the rows a "partial_flip" or "shifted_rows" finding of the volume check
  // names. Never without asking: the finding rests on the image alone.
  bool fix_volumes = false;
  // Where the first pass is not clear, gather more (see gather_evidence in verdict.cpp).
  bool escalate = true;
  double z_needed = default_verdict_z;
  std::size_t escalation_seed_factor = default_escalation_seed_factor;
  std::size_t max_seed_factor = default_max_seed_factor;
  double escalated_margin_fraction = default_escalated_margin_fraction;
  double noise_length_fraction = default_noise_length_fraction;
};

struct VerdictTimings {
  Duration fit;
  Duration coherence;
  Duration tracking;
  Duration volumes;
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
  VolumeCheck volumes;
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
// (or, with force_repair on a WARN, tracking's best unless it is the table as given). A finding
// of the volume check is applied first with fix_volumes when it is a partial flip or a shift,
// and otherwise only described in the notes.
Result<VerdictRepair> repair_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params,
                                          const VerdictParams& verdict_params,
                                          const RepairSpec& request);

// A finding of the volume check other than "none" lifts a PASS to WARN, with its account among
// the reasons.
void apply_volume_finding(Verdict& verdict, const VolumeCheck& volumes);

// The table with the rows a partial flip or a shift names mended (absent for other findings).
std::optional<GradientTable> mend_rows(const GradientTable& table, const VolumeCheck& volumes);

// Compact JSON: every key of the report, then `tracking`, `verdict` and `volumes`.
std::string to_json(const VerdictOutcome& outcome);

}  // namespace orivex
