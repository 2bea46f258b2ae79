// Per-voxel log-linear DTI fit and the white-matter proxy mask.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "orivex/support/error.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

struct TensorField {
  std::vector<Vec3> evecs;
  std::vector<double> fa;
  std::vector<double> s0;
  std::vector<std::uint8_t> valid;
  std::array<std::size_t, 3> dims{};

  Mask wm_proxy(double fa_threshold) const;
};

Result<TensorField> fit_dti(const FloatArray& dwi, const GradientTable& table,
                            const std::vector<std::size_t>& b0_indices,
                            const std::vector<std::size_t>& shell_indices, double min_signal);

}  // namespace orivex
