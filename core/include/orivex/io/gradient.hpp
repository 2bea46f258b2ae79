// The gradient table of one acquisition: one direction and one b-value per volume.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "orivex/support/error.hpp"
#include "orivex/support/mat3.hpp"

namespace orivex {

inline constexpr double zero_norm_limit = 2.220446049250313e-16;
// A NIfTI-1 header stores the volume count in 16 bits, so no series has more volumes than this.
// Longer tables are refused on reading: the per-shell analyses are quadratic in the direction
// count and would otherwise run for hours on a corrupt file.
inline constexpr std::size_t max_table_volumes = 32767;

// Inline: tracking takes one per step.
inline double norm(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

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

  friend GradientTable apply_transform(const GradientTable& table, const Mat3& m);

 private:
  std::vector<Vec3> bvecs_;
  std::vector<double> bvals_;
};

// Every direction g becomes M·g, with zero components stored as +0 so no file shows "-0".
GradientTable apply_transform(const GradientTable& table, const Mat3& m);

struct RecoveredBvals {
  GradientTable table;
  double b_nominal = 0.0;
  double max_norm = 0.0;
};

}  // namespace orivex
