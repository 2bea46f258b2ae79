// Angular coverage of each non-b0 shell: energy, DTI design conditioning, duplicate axes.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "orivex/io/gradient.hpp"

namespace orivex {

// Direction counts a shell is measured against. Six unknowns make six directions the least a
// tensor fit needs; 30 give robust estimates of anisotropy and tensor orientation (Jones 2004,
// Magn. Reson. Med. 51:807); 45 resolve spherical harmonics to order 8 for constrained
// spherical deconvolution (Tournier et al. 2013, NMR Biomed. 26:1775).
inline constexpr std::size_t dti_minimum_directions = 6;
inline constexpr std::size_t dti_recommended_directions = 30;
inline constexpr std::size_t csd_minimum_directions = 45;

struct DuplicatePair {
  std::size_t i = 0;
  std::size_t j = 0;
  double angle_deg = 0.0;
  bool antipodal = false;
};

struct ShellAngular {
  double nominal_b = 0.0;
  std::size_t count = 0;
  double electrostatic_energy = 0.0;
  std::optional<double> condition_number;
  bool meets_dti_minimum = false;
  bool meets_dti_recommended = false;
  bool meets_csd_minimum = false;
  std::vector<DuplicatePair> duplicates;
};

struct AngularSummary {
  double duplicate_angle_deg = 0.0;
  std::vector<ShellAngular> shells;
};

AngularSummary analyze(const GradientTable& table, double b0_threshold, double tolerance,
                       double duplicate_angle_deg);
std::optional<double> design_condition_number(const std::vector<Vec3>& unit_directions);

}  // namespace orivex
