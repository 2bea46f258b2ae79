// Fibre coherence: the inner loop of flip detection, run 24 times per call over every mask voxel.
#include "orivex/analysis/coherence.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace orivex {

namespace {

// Read-only view of one candidate's corrected field, shared by all workers.
struct FieldView {
  const Vec3* dirs;
  const std::uint8_t* mask;
  std::size_t n;  // voxels covered by both the buffer and the mask
  std::int64_t nx, ny, nz;
};

FieldView make_view(const std::vector<Vec3>& directions, const Mask& mask, const GridDims& dims) {
  return FieldView{directions.data(), mask.data(), std::min(directions.size(), mask.size()),
                   static_cast<std::int64_t>(dims[0]), static_cast<std::int64_t>(dims[1]),
                   static_cast<std::int64_t>(dims[2])};
}

// floor() as a grid index. NaN maps to 0 and huge values are clamped well inside the integer
// range so that index + 1 cannot overflow; such corners fall outside the grid anyway.
inline std::int64_t floor_index(double v) {
  if (std::isnan(v)) return 0;
  constexpr double limit = 9007199254740992.0;  // 2^53
  return static_cast<std::int64_t>(std::clamp(std::floor(v), -limit, limit));
}

inline double norm3(double x, double y, double z) { return std::sqrt(x * x + y * y + z * z); }

// |v| >= min_direction_norm without a square root in the common case: the squared length decides
// unless it lies within rounding distance of the limit, where the exact test is repeated.
inline bool has_direction(double x, double y, double z) {
  const double sq = x * x + y * y + z * z;
  if (sq > 1.000001e-18) return true;
  if (!(sq >= 0.999999e-18)) return false;  // also NaN
  return std::sqrt(sq) >= min_direction_norm;
}

// Eigenvectors carry no sign, so each corner is turned towards the reference before averaging;
// otherwise two antiparallel neighbours along one fibre would cancel out.
inline bool sample_at(const FieldView& f, double px, double py, double pz, const Vec3& r,
                      Vec3& out) {
  const std::int64_t x0 = floor_index(px);
  const std::int64_t y0 = floor_index(py);
  const std::int64_t z0 = floor_index(pz);
  const double fx = px - static_cast<double>(x0);
  const double fy = py - static_cast<double>(y0);
  const double fz = pz - static_cast<double>(z0);
  const double wxs[2] = {1.0 - fx, fx};
  const double wys[2] = {1.0 - fy, fy};
  const double wzs[2] = {1.0 - fz, fz};

  double ax = 0.0, ay = 0.0, az = 0.0, total = 0.0;
  for (int dx = 0; dx < 2; ++dx) {
    const std::int64_t x = x0 + dx;
    if (x < 0 || x >= f.nx) continue;
    for (int dy = 0; dy < 2; ++dy) {
      const std::int64_t y = y0 + dy;
      if (y < 0 || y >= f.ny) continue;
      const double wxy = wxs[dx] * wys[dy];
      const std::int64_t row = (x * f.ny + y) * f.nz;
      for (int dz = 0; dz < 2; ++dz) {
        const std::int64_t z = z0 + dz;
        if (z < 0 || z >= f.nz) continue;
        const double w = wxy * wzs[dz];
        if (!(w > 0.0)) continue;
        const auto idx = static_cast<std::size_t>(row + z);
        if (idx >= f.n || !f.mask[idx]) continue;
        const Vec3& v = f.dirs[idx];
        if (!has_direction(v[0], v[1], v[2])) continue;
        const double s = (v[0] * r[0] + v[1] * r[1] + v[2] * r[2] < 0.0) ? -w : w;
        ax += s * v[0];
        ay += s * v[1];
        az += s * v[2];
        total += w;
      }
    }
  }
  if (!(total > 0.0)) return false;
  const double mx = ax / total, my = ay / total, mz = az / total;
  const double len = norm3(mx, my, mz);
  if (len < min_direction_norm) return false;
  out = {mx / len, my / len, mz / len};
  return true;
}

}  // namespace

std::optional<Vec3> sample(const std::vector<Vec3>& directions, const Mask& mask,
                           const GridDims& dims, const Vec3& point, const Vec3& reference) {
  Vec3 out;
  if (!sample_at(make_view(directions, mask, dims), point[0], point[1], point[2], reference, out))
    return std::nullopt;
  return out;
}

SumCounts coherence_sum(const std::vector<Vec3>& directions,
                        const std::vector<std::size_t>& voxels, const Mask& mask,
                        const GridDims& dims, double step) {
  const FieldView f = make_view(directions, mask, dims);
  const std::size_t nyz = dims[1] * dims[2];
  const std::size_t nz = dims[2];
  const std::size_t* list = voxels.data();
  if (nyz == 0) return {};

  return parallel_sum_counts(voxels.size(), [&](std::size_t begin, std::size_t end) {
    SumCounts acc;
    for (std::size_t k = begin; k < end; ++k) {
      const std::size_t i = list[k];
      if (i >= directions.size()) continue;
      const Vec3& e = f.dirs[i];
      // NaN components keep the voxel (attempted, never found), as the plain length test would.
      if (norm3(e[0], e[1], e[2]) < min_direction_norm) continue;
      const double x = static_cast<double>(i / nyz);
      const double y = static_cast<double>((i / nz) % dims[1]);
      const double z = static_cast<double>(i % nz);
      const double sx = step * e[0], sy = step * e[1], sz = step * e[2];
      Vec3 d;
      acc.attempted += 2;
      if (sample_at(f, x + sx, y + sy, z + sz, e, d)) {
        acc.ok += 1;
        acc.sum += std::fabs(d[0] * e[0] + d[1] * e[1] + d[2] * e[2]);
      }
      if (sample_at(f, x - sx, y - sy, z - sz, e, d)) {
        acc.ok += 1;
        acc.sum += std::fabs(d[0] * e[0] + d[1] * e[1] + d[2] * e[2]);
      }
    }
    return acc;
  });
}

}  // namespace orivex
