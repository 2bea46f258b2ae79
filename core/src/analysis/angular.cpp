// Angular coverage of each non-b0 shell: electrostatic energy, DTI conditioning, duplicate axes.
#include "orivex/analysis/angular.hpp"

#include <Eigen/SVD>
#include <algorithm>
#include <cmath>

#include "orivex/analysis/shell.hpp"

namespace orivex {
namespace {

constexpr double distance_floor = 1e-9;
constexpr double singular_floor = 1e-9;
constexpr double deg_to_rad = 0.017453292519943295;
constexpr double rad_to_deg = 57.29577951308232;

double distance(const Vec3& a, const Vec3& b, double sign) {
  const double dx = a[0] + sign * b[0];
  const double dy = a[1] + sign * b[1];
  const double dz = a[2] + sign * b[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// The electrostatic energy of the directions as charges on the sphere (Jones, Horsfield &
// Simmons 1999, Magn. Reson. Med. 42:515): lower is more uniform. Diffusion is antipodally
// symmetric, so each pair repels both as given and as mirrored; the floor keeps coincident (or
// zero-length) directions finite but heavily penalised.
double electrostatic_energy(const std::vector<Vec3>& dirs) {
  double energy = 0.0;
  for (std::size_t a = 0; a < dirs.size(); ++a) {
    for (std::size_t b = a + 1; b < dirs.size(); ++b) {
      energy += 1.0 / std::max(distance(dirs[a], dirs[b], -1.0), distance_floor);
      energy += 1.0 / std::max(distance(dirs[a], dirs[b], 1.0), distance_floor);
    }
  }
  return energy;
}

std::vector<DuplicatePair> duplicates(const std::vector<Vec3>& dirs,
                                      const std::vector<std::size_t>& volumes, double angle_deg) {
  std::vector<DuplicatePair> out;
  const double c = std::cos(angle_deg * deg_to_rad);
  for (std::size_t a = 0; a < dirs.size(); ++a) {
    for (std::size_t b = a + 1; b < dirs.size(); ++b) {
      const double t =
          dirs[a][0] * dirs[b][0] + dirs[a][1] * dirs[b][1] + dirs[a][2] * dirs[b][2];
      // Compare axes, not vectors: g and -g sample the same diffusion profile.
      const double u = std::min(std::fabs(t), 1.0);
      if (u > c) out.push_back({volumes[a], volumes[b], std::acos(u) * rad_to_deg, t < 0.0});
    }
  }
  return out;
}

}  // namespace

std::optional<double> design_condition_number(const std::vector<Vec3>& unit_directions) {
  const auto n = static_cast<Eigen::Index>(unit_directions.size());
  if (unit_directions.size() < dti_minimum_directions) return std::nullopt;
  Eigen::MatrixXd design(n, 6);
  for (Eigen::Index r = 0; r < n; ++r) {
    const auto& [x, y, z] = unit_directions[static_cast<std::size_t>(r)];
    design.row(r) << x * x, y * y, z * z, 2.0 * x * y, 2.0 * x * z, 2.0 * y * z;
  }
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(design);
  // Eigen returns singular values in decreasing order.
  const auto& sv = svd.singularValues();
  const double largest = sv(0);
  const double smallest = sv(sv.size() - 1);
  if (smallest <= singular_floor) return std::nullopt;
  return largest / smallest;
}

AngularSummary analyze(const GradientTable& table, double b0_threshold, double tolerance,
                       double duplicate_angle_deg) {
  AngularSummary summary;
  summary.duplicate_angle_deg = duplicate_angle_deg;
  const GradientTable unit = table.normalized(b0_threshold);
  for (const Shell& shell : detect_shells(table.bvals(), b0_threshold, tolerance)) {
    if (shell.is_b0) continue;
    std::vector<Vec3> dirs;
    dirs.reserve(shell.indices.size());
    for (std::size_t i : shell.indices) dirs.push_back(unit.bvecs()[i]);

    ShellAngular sa;
    sa.nominal_b = shell.nominal_b;
    sa.count = shell.count;
    sa.electrostatic_energy = electrostatic_energy(dirs);
    sa.condition_number = design_condition_number(dirs);
    sa.meets_dti_minimum = sa.count >= dti_minimum_directions;
    sa.meets_dti_recommended = sa.count >= dti_recommended_directions;
    sa.meets_csd_minimum = sa.count >= csd_minimum_directions;
    sa.duplicates = duplicates(dirs, shell.indices, duplicate_angle_deg);
    summary.shells.push_back(std::move(sa));
  }
  return summary;
}

}  // namespace orivex
