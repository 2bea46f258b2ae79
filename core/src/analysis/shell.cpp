// Shell grouping, the b0 summary, non-integer b-values and the b0 signal drift.
#include "orivex/analysis/shell.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace orivex {

std::vector<Shell> detect_shells(const std::vector<double>& bvals, double b0_threshold,
                                 double tolerance) {
  std::vector<Shell> shells;
  std::vector<std::size_t> b0;
  std::vector<std::size_t> rest;
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    // A NaN b-value fails both comparisons and so joins no shell at all.
    if (bvals[i] <= b0_threshold) b0.push_back(i);
    if (bvals[i] > b0_threshold) rest.push_back(i);
  }
  if (!b0.empty()) shells.push_back(make_shell(bvals, std::move(b0), true));
  if (rest.empty()) return shells;

  std::stable_sort(rest.begin(), rest.end(),
                   [&](std::size_t a, std::size_t b) { return bvals[a] < bvals[b]; });

  // The reference is the group's smallest b-value and never moves: a slow ramp must not chain
  // volumes far apart into one shell.
  std::vector<std::size_t> group{rest.front()};
  double reference = bvals[rest.front()];
  for (std::size_t k = 1; k < rest.size(); ++k) {
    const double b = bvals[rest[k]];
    if (b > (1.0 + tolerance) * reference) {
      shells.push_back(make_shell(bvals, std::move(group), false));
      group = {rest[k]};
      reference = b;
    } else {
      group.push_back(rest[k]);
    }
  }
  shells.push_back(make_shell(bvals, std::move(group), false));
  return shells;
}

Shell make_shell(const std::vector<double>& bvals, std::vector<std::size_t> indices, bool is_b0) {
  std::sort(indices.begin(), indices.end());
  double sum = 0.0;
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (std::size_t i : indices) {
    const double b = bvals[i];
    sum += b;
    if (!std::isnan(b)) {
      lo = std::min(lo, b);
      hi = std::max(hi, b);
    }
  }
  Shell s;
  s.count = indices.size();
  s.mean_b = sum / static_cast<double>(s.count);
  s.nominal_b = std::round(s.mean_b);
  s.min_b = lo;
  s.max_b = hi;
  s.indices = std::move(indices);
  s.is_b0 = is_b0;
  return s;
}

B0Summary b0_summary(const std::vector<double>& bvals, double b0_threshold) {
  B0Summary s;
  for (std::size_t i = 0; i < bvals.size(); ++i)
    if (bvals[i] <= b0_threshold) s.indices.push_back(i);
  s.count = s.indices.size();
  for (std::size_t k = 1; k < s.indices.size(); ++k)
    s.spacings.push_back(s.indices[k] - s.indices[k - 1]);
  return s;
}

std::vector<std::size_t> non_integer_bvals(const std::vector<double>& bvals, double tolerance) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < bvals.size(); ++i) {
    const double b = bvals[i];
    if (!std::isfinite(b)) continue;
    if (std::fabs(b - std::round(b)) > tolerance) out.push_back(i);
  }
  return out;
}

Result<Shell> pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance,
                         double target_b) {
  std::optional<Shell> kept;
  double kept_distance = 0.0;
  for (Shell& s : detect_shells(bvals, b0_threshold, tolerance)) {
    if (s.is_b0) continue;
    const double d = std::fabs(s.nominal_b - target_b);
    if (!kept || d < kept_distance || (d == kept_distance && s.nominal_b < kept->nominal_b)) {
      kept_distance = d;
      kept = std::move(s);
    }
  }
  if (!kept) return Error::no_usable_shell();
  return std::move(*kept);
}

B0Drift b0_drift(const std::vector<std::size_t>& indices, const std::vector<double>& mean_signal) {
  B0Drift d;
  d.indices = indices;
  d.mean_signal = mean_signal;
  const std::size_t n = mean_signal.size();
  if (n < 2) return d;

  const double nd = static_cast<double>(n);
  double sum_x = 0.0;
  for (std::size_t i : indices) sum_x += static_cast<double>(i);
  double sum_y = 0.0;
  for (double y : mean_signal) sum_y += y;
  const double x_bar = sum_x / nd;
  const double y_bar = sum_y / nd;

  double sxy = 0.0;
  double sxx = 0.0;
  const std::size_t pairs = std::min(n, indices.size());
  for (std::size_t k = 0; k < pairs; ++k) {
    const double dx = static_cast<double>(indices[k]) - x_bar;
    sxy += dx * (mean_signal[k] - y_bar);
    sxx += dx * dx;
  }
  d.slope = sxx > 0.0 ? sxy / sxx : 0.0;

  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  for (double y : mean_signal) {
    if (std::isnan(y)) continue;
    lo = std::min(lo, y);
    hi = std::max(hi, y);
  }
  // A dark b0 series has no meaningful relative scale; report no drift rather than dividing by 0.
  d.relative_drift = y_bar == 0.0 ? 0.0 : (hi - lo) / y_bar;
  return d;
}

}  // namespace orivex
