// The spread of the tracking margin and the coverage of the tracking region.
#include "orivex/analysis/evidence.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace orivex {

namespace {

// The cube of each seed, numbered densely.
std::vector<std::size_t> seed_blocks(const std::vector<Seed>& seeds,
                                     const std::array<std::size_t, 3>& dims, const Vec3& voxel_mm,
                                     double block_mm, std::size_t& count) {
  std::array<std::size_t, 3> per_axis{};
  std::array<double, 3> voxels_per_block{};
  for (int a = 0; a < 3; ++a) {
    voxels_per_block[a] = std::max(1.0, block_mm / voxel_mm[a]);
    per_axis[a] = static_cast<std::size_t>(std::ceil(static_cast<double>(dims[a]) / voxels_per_block[a]));
  }
  const std::size_t ny = dims[1], nz = dims[2];
  std::vector<std::size_t> cube(seeds.size());
  std::vector<std::size_t> dense(per_axis[0] * per_axis[1] * per_axis[2], 0);
  std::vector<std::uint8_t> seen(dense.size(), 0);
  count = 0;
  for (std::size_t s = 0; s < seeds.size(); ++s) {
    const std::size_t v = seeds[s].voxel;
    const std::size_t at[3] = {v / (ny * nz), (v / nz) % ny, v % nz};
    std::size_t id = 0;
    for (int a = 0; a < 3; ++a) {
      const auto b = std::min(per_axis[a] - 1, static_cast<std::size_t>(
                                                   static_cast<double>(at[a]) / voxels_per_block[a]));
      id = id * per_axis[a] + b;
    }
    if (!seen[id]) {
      seen[id] = 1;
      dense[id] = count++;
    }
    cube[s] = dense[id];
  }
  return cube;
}

}  // namespace

MarginSpread margin_spread(const TrackingResult& tracking, const std::vector<Seed>& seeds,
                           const std::array<std::size_t, 3>& dims, const Vec3& voxel_mm,
                           double block_mm) {
  MarginSpread out;
  const std::size_t nc = tracking.ranking.size();
  const std::size_t n = seeds.size();
  if (nc < 2 || n == 0 || tracking.seed_steps.size() != n * nc) return out;
  std::size_t blocks = 0;
  const std::vector<std::size_t> cube = seed_blocks(seeds, dims, voxel_mm, block_mm, blocks);
  out.blocks = blocks;
  const std::size_t best = tracking.ranking[0].column;
  const double h = tracking.step_mm;
  std::vector<double> sums(blocks);
  for (std::size_t k = 1; k < nc; ++k) {
    const std::size_t other = tracking.ranking[k].column;
    auto diff = [&](std::size_t s) {
      return static_cast<double>(tracking.seed_steps[s * nc + best]) -
             static_cast<double>(tracking.seed_steps[s * nc + other]);
    };
    double mean = 0.0;
    for (std::size_t s = 0; s < n; ++s) mean += diff(s);
    mean /= static_cast<double>(n);
    // Cluster-robust variance of the mean: the deviations summed within each cube, squared,
    // with the small-sample factor G / (G − 1) (Liang & Zeger 1986, Biometrika 73:13).
    std::fill(sums.begin(), sums.end(), 0.0);
    for (std::size_t s = 0; s < n; ++s) sums[cube[s]] += diff(s) - mean;
    double ss = 0.0;
    for (double v : sums) ss += v * v;
    const double g = static_cast<double>(blocks);
    const double se = blocks >= 2 ? std::sqrt(g / (g - 1.0) * ss) / static_cast<double>(n)
                                  : std::numeric_limits<double>::infinity();
    double z = 0.0;
    if (mean > 0.0) z = se > 0.0 ? mean / se : std::numeric_limits<double>::infinity();
    if (k == 1 || z < out.z) {
      out.z = z;
      out.closest = k;
      out.lead_mm = mean * h;
      out.lead_se_mm = se * h;
    }
  }
  return out;
}

Coverage region_coverage(const Mask& region, const std::array<std::size_t, 3>& dims,
                         const Vec3& voxel_mm) {
  Coverage c;
  const std::size_t ny = dims[1], nz = dims[2];
  const std::size_t n = std::min(region.size(), dims[0] * ny * nz);
  std::array<std::vector<std::size_t>, 3> slices;
  for (int a = 0; a < 3; ++a) slices[a].assign(dims[a], 0);
  std::array<std::size_t, 3> lo{dims[0], dims[1], dims[2]}, hi{};
  for (std::size_t v = 0; v < n; ++v) {
    if (!region[v]) continue;
    const std::size_t at[3] = {v / (ny * nz), (v / nz) % ny, v % nz};
    for (int a = 0; a < 3; ++a) {
      ++slices[a][at[a]];
      lo[a] = std::min(lo[a], at[a]);
      hi[a] = std::max(hi[a], at[a] + 1);
    }
  }
  for (int a = 0; a < 3; ++a) {
    if (hi[a] <= lo[a]) continue;
    c.extent_mm[a] = static_cast<double>(hi[a] - lo[a]) * voxel_mm[a];
    const std::size_t widest = *std::max_element(slices[a].begin(), slices[a].end());
    // The anatomy tapers to nothing inside a field of view that holds it; where the grid cuts
    // it, the outermost slices still carry a good part of the widest cross-section.
    const auto substantial = [&](std::size_t k) { return 4 * slices[a][k] >= widest; };
    c.cut[a] = dims[a] > 0 && substantial(0) && substantial(dims[a] - 1);
  }
  return c;
}

}  // namespace orivex
