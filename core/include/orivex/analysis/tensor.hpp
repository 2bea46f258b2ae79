// Per-voxel log-linear DTI fit and the white-matter proxy mask.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
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
  // Set by a fit of the tissue only (FitScope::Tissue): the Otsu threshold of s0 it fitted above.
  // Voxels below it are left unfitted there, whatever a whole fit would make of them.
  std::optional<double> tissue_threshold;

  // Otsu's threshold of the finite s0 values (0 without any): `tissue_threshold` when set.
  double s0_threshold() const;
  // Valid voxels with FA at or above the threshold and a finite s0 that clears Otsu's threshold
  // of the s0 histogram (Otsu 1979, IEEE Trans. Syst. Man Cybern. 9:62), which parts tissue from
  // background. The range and histogram hold the finite s0 values only.
  Mask wm_proxy(double fa_threshold) const;
};

// Which voxels a fit solves. Every voxel's mean unweighted signal is computed either way; the
// tissue scope solves only those at or above the Otsu threshold of those means, the voxels any
// wm_proxy() can hold, and so skips the background a brain scan mostly is.
enum class FitScope { All, Tissue };

// The field with each principal direction replaced by the principal axis of the FA-weighted
// mean dyad e·eᵀ over its 3 × 3 × 3 neighbourhood (Gaussian weights, sigma one voxel), counting
// only neighbours inside `region` with a valid fit; FA, s0 and validity are kept. Where noise
// scatters the directions of a coherent bundle this restores the bundle's axis. Any orthogonal
// map of the directions commutes with it, so it favours no candidate correction.
TensorField smooth_directions(const TensorField& field, const Mask& region);

// Log-linear least-squares tensor fit (Basser, Mattiello & LeBihan 1994, J. Magn. Reson. B
// 103:247) of the b0 volumes and one shell. A voxel whose mean unweighted signal is below
// `min_signal` or not finite, or with any NaN or infinite sample in the rows used, is left
// unfitted (not valid).
Result<TensorField> fit_dti(const FloatArray& dwi, const GradientTable& table,
                            const std::vector<std::size_t>& b0_indices,
                            const std::vector<std::size_t>& shell_indices, double min_signal,
                            FitScope scope = FitScope::All);

}  // namespace orivex
