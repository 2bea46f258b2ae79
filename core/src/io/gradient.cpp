// Gradient table model: b0 classification, norm statistics, normalisation, b-value recovery.
#include "orivex/io/gradient.hpp"

#include <cmath>
#include <limits>

namespace orivex {

Result<GradientTable> GradientTable::create(std::vector<Vec3> bvecs, std::vector<double> bvals) {
  if (bvecs.size() != bvals.size()) return Error::table_mismatch(bvecs.size(), bvals.size());
  GradientTable t;
  t.bvecs_ = std::move(bvecs);
  t.bvals_ = std::move(bvals);
  return t;
}

std::vector<std::size_t> GradientTable::b0_indices(double b0_threshold) const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < bvals_.size(); ++i)
    if (bvals_[i] <= b0_threshold) out.push_back(i);
  return out;
}

NormStats GradientTable::norm_stats(double b0_threshold, double tolerance) const {
  NormStats s;
  s.tolerance = tolerance;
  std::vector<double> norms;
  for (std::size_t i = 0; i < bvals_.size(); ++i)
    if (bvals_[i] > b0_threshold) norms.push_back(norm(bvecs_[i]));
  if (norms.empty()) return s;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  double sum = 0.0;
  for (double n : norms) {
    if (std::fabs(n - 1.0) > tolerance) ++s.non_unit_count;
    if (!std::isnan(n)) {
      lo = std::fmin(lo, n);
      hi = std::fmax(hi, n);
    }
    sum += n;
  }
  s.non_b0_count = norms.size();
  s.non_unit_fraction = static_cast<double>(s.non_unit_count) / static_cast<double>(norms.size());
  s.norm_min = lo;
  s.norm_max = hi;
  s.norm_mean = sum / static_cast<double>(norms.size());
  return s;
}

GradientTable GradientTable::normalized(double b0_threshold) const {
  GradientTable t;
  t.bvals_ = bvals_;
  t.bvecs_.reserve(bvecs_.size());
  for (std::size_t i = 0; i < bvecs_.size(); ++i) {
    const double n = norm(bvecs_[i]);
    // A NaN b-value fails "at most the threshold" and is normalised like a non-b0 volume.
    if (bvals_[i] <= b0_threshold || n < zero_norm_limit) {
      t.bvecs_.push_back({0.0, 0.0, 0.0});
    } else {
      t.bvecs_.push_back({bvecs_[i][0] / n, bvecs_[i][1] / n, bvecs_[i][2] / n});
    }
  }
  return t;
}

GradientTable apply_transform(const GradientTable& table, const Mat3& m) {
  GradientTable t;
  t.bvals_ = table.bvals_;
  t.bvecs_.reserve(table.bvecs_.size());
  for (const Vec3& g : table.bvecs_) {
    Vec3 v = multiply(m, g);
    // -0.0 == 0.0, so this turns either zero into +0 and leaves every other value alone.
    for (double& c : v) c = c == 0.0 ? 0.0 : c;
    t.bvecs_.push_back(v);
  }
  return t;
}

Result<RecoveredBvals> GradientTable::recover_bvals(double b0_threshold) const {
  double b_nominal = 0.0;
  double max_norm = 0.0;
  for (std::size_t i = 0; i < bvals_.size(); ++i) {
    if (!(bvals_[i] > b0_threshold)) continue;
    const double n = norm(bvecs_[i]);
    if (!std::isnan(bvals_[i]) && bvals_[i] > b_nominal) b_nominal = bvals_[i];
    if (!std::isnan(n) && n > max_norm) max_norm = n;
  }
  if (max_norm < zero_norm_limit) return Error::no_usable_shell();
  std::vector<double> bvals;
  bvals.reserve(bvals_.size());
  for (std::size_t i = 0; i < bvals_.size(); ++i) {
    if (bvals_[i] <= b0_threshold) {
      bvals.push_back(0.0);
    } else {
      const double r = norm(bvecs_[i]) / max_norm;
      bvals.push_back(std::round(b_nominal * r * r));
    }
  }
  RecoveredBvals out;
  out.table = normalized(b0_threshold);
  out.table.bvals_ = std::move(bvals);
  out.b_nominal = b_nominal;
  out.max_norm = max_norm;
  return out;
}

}  // namespace orivex
