// Flip detection: working shell, tensor field and mask, candidate ranking, decision.
#include "orivex/analysis/flip.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "orivex/analysis/coherence.hpp"

namespace orivex {

namespace {

// A signed integer whose ordering is the IEEE-754 total order of the double (-NaN < -inf < ...
// < -0 < +0 < ... < +inf < +NaN), so NaN scores have a fixed place instead of breaking the sort.
std::int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<std::int64_t>(v);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

void sort_by_coherence(std::vector<CandidateScore>& scores) {
  std::stable_sort(scores.begin(), scores.end(),
                   [](const CandidateScore& a, const CandidateScore& b) {
                     return total_order_key(a.coherence) > total_order_key(b.coherence);
                   });
}

bool antipodal_or_equal(const Mat3& a, const Mat3& b) {
  bool equal = true;
  bool opposite = true;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      equal = equal && a[r][c] == b[r][c];
      opposite = opposite && a[r][c] == -b[r][c];
    }
  }
  return equal || opposite;
}

std::vector<CandidateScore> rank_candidates(const TensorField& field, const Mask& wm_mask,
                                            const Mat3& frame_map, double step) {
  const std::size_t n = field.evecs.size();
  const std::size_t covered = std::min(n, wm_mask.size());
  std::vector<std::size_t> voxels;
  voxels.reserve(static_cast<std::size_t>(std::count_if(
      wm_mask.begin(), wm_mask.begin() + static_cast<std::ptrdiff_t>(covered),
      [](std::uint8_t m) { return m != 0; })));
  for (std::size_t i = 0; i < covered; ++i)
    if (wm_mask[i]) voxels.push_back(i);

  // A matrix and its negation give the same fibre axes (eigenvectors have no sign), hence the
  // same coherence: only the first of each pair is measured, all of them in one pass.
  const std::vector<Candidate> candidates = all_candidates();
  std::vector<std::size_t> measured_as(candidates.size());
  std::vector<std::size_t> firsts;
  std::vector<Mat3> maps;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    const auto earlier = std::find_if(firsts.begin(), firsts.end(), [&](std::size_t f) {
      return antipodal_or_equal(candidates[f].matrix, candidates[c].matrix);
    });
    if (earlier != firsts.end()) {
      measured_as[c] = measured_as[*earlier];
      continue;
    }
    measured_as[c] = maps.size();
    firsts.push_back(c);
    maps.push_back(multiply(frame_map, candidates[c].matrix));
  }
  const std::vector<SumCounts> totals =
      coherence_sums(field.evecs, voxels, wm_mask, field.dims, step, maps);

  std::vector<CandidateScore> scores;
  scores.reserve(candidates.size());
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    CandidateScore score{candidates[c].label, candidates[c].matrix, candidates[c].is_identity, 0.0, 0};
    const SumCounts& total = totals[measured_as[c]];
    if (total.attempted > 0) {
      score.coherence = total.sum / static_cast<double>(total.attempted);
      score.n_samples = total.ok;
    }
    scores.push_back(std::move(score));
  }

  sort_by_coherence(scores);
  return scores;
}

Result<Shell> select_working_shell(const GradientTable& table, double b0_threshold,
                                   double tolerance) {
  // b = 1000 is where the tensor model fits clinical data best; between two shells equally far
  // from it the lower one has the better signal-to-noise ratio.
  return pick_shell(table.bvals(), b0_threshold, tolerance, 1000.0);
}

Result<FittedMask> fit_and_mask(const FloatArray& dwi, const GradientTable& table,
                                const Mask* mask, const Shell& shell, const FlipParams& params) {
  // Refuse a meaningless threshold before spending the time on a fit.
  const double m = params.margin_threshold;
  if (!(std::isfinite(m) && m > 0.0 && m <= 1.0)) return Error::invalid_margin(m);

  const std::vector<std::size_t> b0 = table.b0_indices(params.b0_threshold);
  // Without a mask of the caller's, every mask made here lies within the tissue threshold of
  // wm_proxy(), so only the tissue is fitted at first; the rare paths that look beyond it (no
  // tissue voxel fitted at all, the anisotropy-only fallback) fit the rest.
  const bool tissue_only = mask == nullptr && !params.whole_field;
  ORIVEX_ASSIGN(TensorField field,
                fit_dti(dwi, table, b0, shell.indices, params.min_signal,
                        tissue_only ? FitScope::Tissue : FitScope::All));
  auto fit_all = [&]() -> Result<void> {
    if (!field.tissue_threshold) return {};
    ORIVEX_ASSIGN(field, fit_dti(dwi, table, b0, shell.indices, params.min_signal));
    return {};
  };

  // Without one fitted voxel (an all-NaN image, a mask over background only) there is nothing
  // to score, and a ranking of zeros would read as agreement with the table.
  auto any_fitted = [&](const Mask* within) {
    const std::size_t n = within != nullptr ? std::min(field.valid.size(), within->size())
                                            : field.valid.size();
    for (std::size_t i = 0; i < n; ++i)
      if (field.valid[i] && (within == nullptr || (*within)[i])) return true;
    return false;
  };
  if (!any_fitted(nullptr)) {
    ORIVEX_TRY(fit_all());
    if (!any_fitted(nullptr)) return Error::no_usable_voxels();
  }

  FittedMask fm;
  if (mask != nullptr) {
    fm.wm_mask = *mask;
  } else {
    fm.wm_mask = field.wm_proxy(params.fa_threshold);
    if (std::none_of(fm.wm_mask.begin(), fm.wm_mask.end(), [](std::uint8_t v) { return v != 0; })) {
      // The intensity threshold of the proxy can reject everything (flat or synthetic s0); fall
      // back to anisotropy alone.
      ORIVEX_TRY(fit_all());
      const std::size_t n = std::min(field.valid.size(), field.fa.size());
      fm.wm_mask.assign(n, 0);
      for (std::size_t i = 0; i < n; ++i)
        fm.wm_mask[i] = (field.valid[i] && field.fa[i] >= params.fa_threshold) ? 1 : 0;
    }
  }

  fm.n_wm_voxels = static_cast<std::size_t>(
      std::count_if(fm.wm_mask.begin(), fm.wm_mask.end(), [](std::uint8_t v) { return v != 0; }));
  if (fm.n_wm_voxels == 0) return Error::tensor_fit("no WM voxels above the FA threshold");
  if (mask != nullptr && !any_fitted(mask)) return Error::no_usable_voxels();

  const std::size_t n = std::min({field.valid.size(), field.fa.size(), fm.wm_mask.size()});
  double fa_sum = 0.0;
  std::size_t fa_count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (field.valid[i] && fm.wm_mask[i]) {
      fa_sum += field.fa[i];
      ++fa_count;
    }
  }
  fm.mask_mean_fa = fa_count > 0 ? fa_sum / static_cast<double>(fa_count) : 0.0;
  fm.field = std::move(field);
  return fm;
}

FlipResult assemble_result(std::vector<CandidateScore> ranking, std::size_t n_wm_voxels,
                           double working_b, double mask_mean_fa, double margin_threshold) {
  FlipResult r;
  r.working_b = working_b;
  r.n_wm_voxels = n_wm_voxels;
  r.mask_mean_fa = mask_mean_fa;
  if (margin_threshold != default_margin_threshold) r.margin_threshold = margin_threshold;
  if (ranking.empty()) {
    r.decision = Decision::WARN;
    return r;
  }

  r.best = ranking[0];
  // The negation of the best describes the same axes, so it is no competitor: the margin is
  // measured to the best candidate with other axes.
  const auto other = std::find_if(ranking.begin() + 1, ranking.end(), [&](const CandidateScore& s) {
    return !antipodal_or_equal(s.matrix, r.best.matrix);
  });
  if (other != ranking.end()) {
    r.runner_up = *other;
  } else {
    r.runner_up = ranking.size() > 1 ? ranking[1] : ranking[0];
  }

  r.margin = r.best.coherence - r.runner_up.coherence;
  r.relative_margin = r.best.coherence > 0.0 ? r.margin / r.best.coherence : 0.0;

  if (r.best.n_samples == 0) {
    // No neighbour was ever found: the ranking is the candidates' fixed order, not evidence.
    r.decision = Decision::WARN;
  } else if (r.best.is_identity || antipodal_or_equal(r.best.matrix, identity3)) {
    r.decision = Decision::PASS;
  } else if (r.relative_margin >= margin_threshold) {
    r.decision = Decision::FLAG;
    r.recommended_transform = r.best.matrix;
    r.recommended_label = r.best.label;
  } else {
    r.decision = Decision::WARN;
  }

  const auto id = std::find_if(ranking.begin(), ranking.end(),
                               [](const CandidateScore& s) { return s.is_identity; });
  if (id != ranking.end()) r.identity_coherence = id->coherence;

  r.ranking = std::move(ranking);
  return r;
}

Result<FlipOutcome> run_detection(const FloatArray& dwi, const GradientTable& table,
                                  const Mask* mask, const FlipParams& params,
                                  const Shell* shell) {
  Shell chosen;
  if (shell == nullptr) {
    ORIVEX_ASSIGN(chosen, select_working_shell(table, params.b0_threshold, params.tolerance));
    shell = &chosen;
  }

  using Clock = std::chrono::steady_clock;
  const auto fit_start = Clock::now();
  ORIVEX_ASSIGN(FittedMask fm, fit_and_mask(dwi, table, mask, *shell, params));
  const auto fit_end = Clock::now();
  std::vector<CandidateScore> ranking =
      rank_candidates(fm.field, fm.wm_mask, params.frame_map, params.step);
  const auto rank_end = Clock::now();

  FlipOutcome out;
  out.result = assemble_result(std::move(ranking), fm.n_wm_voxels, shell->nominal_b,
                               fm.mask_mean_fa, params.margin_threshold);
  out.timings.fit_time = Duration::between(fit_start, fit_end);
  out.timings.rank_time = Duration::between(fit_end, rank_end);
  out.glyphs = GlyphData{std::move(fm.field), std::move(fm.wm_mask), params.frame_map};
  return out;
}

Result<FlipResult> detect_flip(const FloatArray& dwi, const GradientTable& table,
                               const Mask* mask, const FlipParams& params) {
  ORIVEX_ASSIGN(FlipOutcome o, run_detection(dwi, table, mask, params, nullptr));
  return std::move(o.result);
}

}  // namespace orivex
