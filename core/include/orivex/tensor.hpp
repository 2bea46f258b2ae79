// Per-voxel log-linear DTI fit and the white-matter proxy mask.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "orivex/error.hpp"
#include "orivex/gradient.hpp"
#include "orivex/volume.hpp"

namespace orivex {

struct TensorField {
  std::vector<Vec3> evecs;
  std::vector<double> fa;
  std::vector<double> s0;
  std::vector<std::uint8_t> valid;
  std::array<std::size_t, 3> dims{};

  // Valid voxels with FA at least the threshold and a finite s0 at least the Otsu brain
  // threshold. The range and histogram hold the finite s0 values only.
  Mask wm_proxy(double fa_threshold) const;
};

// Log-linear fit per voxel. A voxel whose mean unweighted signal is below `min_signal` or not
// finite, or with any NaN or infinite sample in the rows used, is left unfitted (not valid).
Result<TensorField> fit_dti(const FloatArray& dwi, const GradientTable& table,
                            const std::vector<std::size_t>& b0_indices,
                            const std::vector<std::size_t>& shell_indices, double min_signal);

}  // namespace orivex
