// Flip detection: working shell, tensor field, coherence mask, ranking, decision. The correct
// axes are those under which fitted fibre directions agree best with their neighbours along the
// fibre (a fibre coherence index; Schilling et al. 2019, Magn. Reson. Imaging 58:82).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/candidate.hpp"
#include "orivex/analysis/shell.hpp"
#include "orivex/analysis/tensor.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/defaults.hpp"
#include "orivex/support/error.hpp"

namespace orivex {

struct FlipParams {
  double b0_threshold = default_b0_threshold;
  double tolerance = default_tolerance;
  double min_signal = default_min_signal;
  double fa_threshold = default_fa_threshold;
  double step = 1.0;
  double margin_threshold = default_margin_threshold;
  Mat3 frame_map = identity3;
  // Fit every voxel, not only the tissue a derived mask can hold: for callers that hand the
  // whole field on (the glyph and QC pictures).
  bool whole_field = false;
};

enum class Decision { PASS, WARN, FLAG };

struct FlipResult {
  double working_b = 0.0;
  std::size_t n_wm_voxels = 0;
  double mask_mean_fa = 0.0;
  std::vector<CandidateScore> ranking;
  CandidateScore best;
  CandidateScore runner_up;
  double identity_coherence = 0.0;
  double margin = 0.0;
  double relative_margin = 0.0;
  std::optional<double> margin_threshold;
  Decision decision = Decision::PASS;
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
};

struct DetectTimings {
  Duration fit_time;
  Duration rank_time;
};

struct GlyphData {
  TensorField field;
  Mask wm_mask;
  Mat3 frame_map{};
};

struct FlipOutcome {
  FlipResult result;
  DetectTimings timings;
  GlyphData glyphs;
};

// Flip detection on `shell`, or without one on the working shell: the result, the stage
// timings and the glyph data together, callers keeping what they want.
Result<FlipOutcome> run_detection(const FloatArray& dwi, const GradientTable& table,
                                  const Mask* mask, const FlipParams& params,
                                  const Shell* shell);
// The result alone, on the working shell.
Result<FlipResult> detect_flip(const FloatArray& dwi, const GradientTable& table,
                               const Mask* mask, const FlipParams& params);

// The non-b0 shell nearest to b = 1000 (of two equally near, the lower).
Result<Shell> select_working_shell(const GradientTable& table, double b0_threshold,
                                   double tolerance);
bool antipodal_or_equal(const Mat3& a, const Mat3& b);

// The fitted field and the mask coherence is measured in.
struct FittedMask {
  TensorField field;
  Mask wm_mask;
  std::size_t n_wm_voxels = 0;
  double mask_mean_fa = 0.0;
};

// Checks the margin threshold, fits the shell and settles the mask: the caller's, else the
// white-matter proxy, else valid voxels at or above the FA threshold.
Result<FittedMask> fit_and_mask(const FloatArray& dwi, const GradientTable& table,
                                const Mask* mask, const Shell& shell, const FlipParams& params);

// Turns a ranking (best first) into the decision. `ranking` must not be empty.
FlipResult assemble_result(std::vector<CandidateScore> ranking, std::size_t n_wm_voxels,
                           double working_b, double mask_mean_fa, double margin_threshold);

// Stable, largest coherence first under the IEEE-754 total order (+NaN above +inf).
void sort_by_coherence(std::vector<CandidateScore>& scores);

// Ranks the 48 candidates (only 24 measured), best first.
std::vector<CandidateScore> rank_candidates(const TensorField& field, const Mask& wm_mask,
                                            const Mat3& frame_map, double step);

}  // namespace orivex
