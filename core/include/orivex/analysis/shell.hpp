// Shells (volumes at about the same b-value), the b0 summary, non-integer b-values, b0 drift.
#pragma once

#include <cstddef>
#include <vector>

#include "orivex/support/error.hpp"

namespace orivex {

inline constexpr double non_integer_tolerance = 0.001;

struct Shell {
  double nominal_b = 0.0;
  double mean_b = 0.0;
  double min_b = 0.0;
  double max_b = 0.0;
  std::size_t count = 0;
  std::vector<std::size_t> indices;
  bool is_b0 = false;
};

struct B0Summary {
  std::size_t count = 0;
  std::vector<std::size_t> indices;
  std::vector<std::size_t> spacings;
};

struct ShellSummary {
  double b0_threshold = 0.0;
  double tolerance = 0.0;
  std::vector<Shell> shells;
  B0Summary b0;
  std::vector<std::size_t> non_integer_bvals;
};

struct B0Drift {
  std::vector<std::size_t> indices;
  std::vector<double> mean_signal;
  double slope = 0.0;
  double relative_drift = 0.0;
};

struct ShellCount {
  double nominal_b = 0.0;
  std::size_t count = 0;
};

std::vector<Shell> detect_shells(const std::vector<double>& bvals, double b0_threshold,
                                 double tolerance);
Shell make_shell(const std::vector<double>& bvals, std::vector<std::size_t> indices, bool is_b0);
B0Summary b0_summary(const std::vector<double>& bvals, double b0_threshold);
std::vector<std::size_t> non_integer_bvals(const std::vector<double>& bvals, double tolerance);
B0Drift b0_drift(const std::vector<std::size_t>& indices, const std::vector<double>& mean_signal);

// The non-b0 shell whose nominal b-value is nearest to `target_b`. Of two equally near, the
// lower one: detect_shells lists shells in ascending order, so that is also the earlier one.
// NoUsableShell when there is no non-b0 shell.
Result<Shell> pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance,
                         double target_b);

}  // namespace orivex
