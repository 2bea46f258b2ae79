// The gradient table of one acquisition: one direction and one b-value per volume.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "orivex/support/error.hpp"

namespace orivex {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<std::array<double, 3>, 3>;  // by rows; maps a column vector g to M·g

inline constexpr double default_b0_threshold = 50.0;
inline constexpr double default_norm_tolerance = 0.05;
inline constexpr double zero_norm_limit = 2.220446049250313e-16;
// A NIfTI-1 header stores the volume count in 16 bits, so no series has more volumes than this.
// Longer tables are refused on reading: the per-shell analyses are quadratic in the direction
// count and would otherwise run for hours on a corrupt file.
inline constexpr std::size_t max_table_volumes = 32767;

double norm(const Vec3& v);

struct NormStats {
  std::size_t non_b0_count = 0;
  std::size_t non_unit_count = 0;
  double non_unit_fraction = 0.0;
  double norm_min = 0.0;
  double norm_max = 0.0;
  double norm_mean = 0.0;
  double tolerance = 0.0;
};

class GradientTable;

struct RecoveredBvals;

class GradientTable {
 public:
  GradientTable() = default;
  // TableMismatch when the two lengths differ.
  static Result<GradientTable> create(std::vector<Vec3> bvecs, std::vector<double> bvals);

  const std::vector<Vec3>& bvecs() const { return bvecs_; }
  const std::vector<double>& bvals() const { return bvals_; }
  std::size_t size() const { return bvals_.size(); }

  // Ascending indices with b <= threshold.
  std::vector<std::size_t> b0_indices(double b0_threshold) const;
  NormStats norm_stats(double b0_threshold, double tolerance) const;
  // b0 volumes and near-zero directions become (0, 0, 0); b-values unchanged.
  GradientTable normalized(double b0_threshold) const;
  // NoUsableShell when no non-b0 direction has a usable length.
  Result<RecoveredBvals> recover_bvals(double b0_threshold) const;

 private:
  std::vector<Vec3> bvecs_;
  std::vector<double> bvals_;
};

struct RecoveredBvals {
  GradientTable table;
  double b_nominal = 0.0;
  double max_norm = 0.0;
};

}  // namespace orivex
