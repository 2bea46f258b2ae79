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

// Calls corner(index, weight) for each trilinear corner of the point that lies in the grid, x
// slowest and z fastest, the weight being (wx·wy)·wz.
template <class Corner>
inline void grid_corners(const FieldView& f, double px, double py, double pz, Corner&& corner) {
  const std::int64_t x0 = floor_index(px);
  const std::int64_t y0 = floor_index(py);
  const std::int64_t z0 = floor_index(pz);
  const double fx = px - static_cast<double>(x0);
  const double fy = py - static_cast<double>(y0);
  const double fz = pz - static_cast<double>(z0);
  const double wxs[2] = {1.0 - fx, fx};
  const double wys[2] = {1.0 - fy, fy};
  const double wzs[2] = {1.0 - fz, fz};
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
        const auto idx = static_cast<std::size_t>(row + z);
        if (idx < f.n) corner(idx, wxy * wzs[dz]);
      }
    }
  }
}

// Eigenvectors carry no sign, so each corner is turned towards the reference before averaging;
// otherwise two antiparallel neighbours along one fibre would cancel out.
inline bool sample_at(const FieldView& f, double px, double py, double pz, const Vec3& r,
                      Vec3& out) {
  double ax = 0.0, ay = 0.0, az = 0.0, total = 0.0;
  grid_corners(f, px, py, pz, [&](std::size_t idx, double w) {
    if (!(w > 0.0) || !f.mask[idx]) return;
    const Vec3& v = f.dirs[idx];
    if (!has_direction(v[0], v[1], v[2])) return;
    const double s = (v[0] * r[0] + v[1] * r[1] + v[2] * r[2] < 0.0) ? -w : w;
    ax += s * v[0];
    ay += s * v[1];
    az += s * v[2];
    total += w;
  });
  if (!(total > 0.0)) return false;
  const double mx = ax / total, my = ay / total, mz = az / total;
  const double len = norm3(mx, my, mz);
  if (len < min_direction_norm) return false;
  out = {mx / len, my / len, mz / len};
  return true;
}

// Directions are scored under several linear maps K (candidate corrections) in one pass, so that
// each voxel's neighbourhood is read once for all of them. The corrected field is never built:
// since K is linear, the average of corrected corners is K times the average of the stored
// ones, and a corrected corner agrees in sign with the corrected reference Ke exactly when the
// stored one does with Gram·e, Gram = KᵀK.
struct MapSet {
  std::vector<Mat3> k;
  std::vector<Mat3> gram;
};

inline Vec3 apply(const Mat3& k, const Vec3& e) {
  return {k[0][0] * e[0] + k[0][1] * e[1] + k[0][2] * e[2],
          k[1][0] * e[0] + k[1][1] * e[1] + k[1][2] * e[2],
          k[2][0] * e[0] + k[2][1] * e[1] + k[2][2] * e[2]};
}

MapSet map_set(const std::vector<Mat3>& maps) {
  MapSet m{maps, {}};
  for (const Mat3& k : maps) {
    Mat3 g{};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) g[r][c] = k[0][r] * k[0][c] + k[1][r] * k[1][c] + k[2][r] * k[2][c];
    m.gram.push_back(g);
  }
  return m;
}

inline bool too_short(const Vec3& e) { return norm3(e[0], e[1], e[2]) < min_direction_norm; }

// Bit j of a voxel's word: the voxel is in the mask and its direction corrected by map j is
// present (a direction too short to correct stays as it is).
std::vector<std::uint32_t> presence(const FieldView& f, const MapSet& maps) {
  std::vector<std::uint32_t> bits(f.n, 0);
  parallel_for(f.n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i) {
      if (!f.mask[i]) continue;
      const Vec3& v = f.dirs[i];
      const bool keep = too_short(v);
      std::uint32_t word = 0;
      for (std::size_t j = 0; j < maps.k.size(); ++j) {
        const Vec3 c = keep ? v : apply(maps.k[j], v);
        if (has_direction(c[0], c[1], c[2])) word |= std::uint32_t{1} << j;
      }
      bits[i] = word;
    }
  });
  return bits;
}

// The corrected direction at the averaged point, unit length, dotted with the corrected
// reference; false when the average has no direction.
inline bool agreement_of(double ax, double ay, double az, double total, const Mat3& k,
                         const Vec3& ec, double& agreement) {
  if (!(total > 0.0)) return false;
  const Vec3 m = apply(k, {ax / total, ay / total, az / total});
  const double len = norm3(m[0], m[1], m[2]);
  if (len < min_direction_norm) return false;
  const double dx = m[0] / len, dy = m[1] / len, dz = m[2] / len;
  agreement = std::fabs(dx * ec[0] + dy * ec[1] + dz * ec[2]);
  return true;
}

// sample_at for the field corrected by map k (presence bit `bit`), read from the stored field;
// `agreement` receives |d · e'| for the interpolated corrected direction d and the corrected
// reference e'. `r` is Gram·e, against which stored corners are turned.
inline bool agreement_at(const FieldView& f, const std::uint32_t* bits, std::uint32_t bit,
                         double px, double py, double pz, const Vec3& r, const Mat3& k,
                         const Vec3& ec, double& agreement) {
  double ax = 0.0, ay = 0.0, az = 0.0, total = 0.0;
  auto corner = [&](std::size_t idx, double w) {
    if (!(w > 0.0) || !(bits[idx] & bit)) return;
    const Vec3& v = f.dirs[idx];
    const double s = (v[0] * r[0] + v[1] * r[1] + v[2] * r[2] < 0.0) ? -w : w;
    ax += s * v[0];
    ay += s * v[1];
    az += s * v[2];
    total += w;
  };
  // Most points have all eight corners inside the grid (NaN fails these tests).
  if (px >= 0.0 && py >= 0.0 && pz >= 0.0 && px < static_cast<double>(f.nx - 1) &&
      py < static_cast<double>(f.ny - 1) && pz < static_cast<double>(f.nz - 1)) {
    const auto x0 = static_cast<std::int64_t>(px);
    const auto y0 = static_cast<std::int64_t>(py);
    const auto z0 = static_cast<std::int64_t>(pz);
    const double fx = px - static_cast<double>(x0);
    const double fy = py - static_cast<double>(y0);
    const double fz = pz - static_cast<double>(z0);
    const double wx0 = 1.0 - fx, wy0 = 1.0 - fy, wz0 = 1.0 - fz;
    const auto base = static_cast<std::size_t>((x0 * f.ny + y0) * f.nz + z0);
    const auto sy = static_cast<std::size_t>(f.nz);
    const auto sx = static_cast<std::size_t>(f.ny * f.nz);
    if (base + sx + sy + 1 < f.n) {
      // Same corner order and weight products as the general path below.
      const double w00 = wx0 * wy0, w01 = wx0 * fy, w10 = fx * wy0, w11 = fx * fy;
      corner(base, w00 * wz0);
      corner(base + 1, w00 * fz);
      corner(base + sy, w01 * wz0);
      corner(base + sy + 1, w01 * fz);
      corner(base + sx, w10 * wz0);
      corner(base + sx + 1, w10 * fz);
      corner(base + sx + sy, w11 * wz0);
      corner(base + sx + sy + 1, w11 * fz);
      return agreement_of(ax, ay, az, total, k, ec, agreement);
    }
  }

  grid_corners(f, px, py, pz, corner);
  return agreement_of(ax, ay, az, total, k, ec, agreement);
}

// Fixed runs of the voxel list, summed in list order and then joined in run order, so every
// sum is the same bit for bit whatever the number of workers.
constexpr std::size_t run_voxels = 512;

std::vector<SumCounts> score_maps(const std::vector<Vec3>& directions,
                                  const std::vector<std::size_t>& voxels, const Mask& mask,
                                  const GridDims& dims, double step,
                                  const std::vector<Mat3>& candidate_maps) {
  const std::size_t nm = candidate_maps.size();
  std::vector<SumCounts> out(nm);
  const FieldView f = make_view(directions, mask, dims);
  const std::size_t nyz = dims[1] * dims[2];
  const std::size_t nz = dims[2];
  if (nyz == 0 || nm == 0 || voxels.empty()) return out;
  const MapSet maps = map_set(candidate_maps);
  const std::vector<std::uint32_t> bits = presence(f, maps);
  const std::size_t runs = (voxels.size() + run_voxels - 1) / run_voxels;
  std::vector<SumCounts> partial(runs * nm);

  parallel_for(runs, [&](std::size_t rb, std::size_t re) {
    for (std::size_t run = rb; run < re; ++run) {
      SumCounts* acc = partial.data() + run * nm;
      const std::size_t end = std::min(voxels.size(), (run + 1) * run_voxels);
      for (std::size_t k = run * run_voxels; k < end; ++k) {
        const std::size_t i = voxels[k];
        if (i >= directions.size()) continue;
        const Vec3& e = f.dirs[i];
        // NaN components keep the voxel (attempted, never found), as the plain length test would.
        if (too_short(e)) continue;
        const double x = static_cast<double>(i / nyz);
        const double y = static_cast<double>((i / nz) % dims[1]);
        const double z = static_cast<double>(i % nz);
        for (std::size_t j = 0; j < nm; ++j) {
          const Vec3 ec = apply(maps.k[j], e);
          if (too_short(ec)) continue;
          const Vec3 r = apply(maps.gram[j], e);
          const std::uint32_t bit = std::uint32_t{1} << j;
          const double sx = step * ec[0], sy = step * ec[1], sz = step * ec[2];
          double a = 0.0;
          acc[j].attempted += 2;
          if (agreement_at(f, bits.data(), bit, x + sx, y + sy, z + sz, r, maps.k[j], ec, a)) {
            acc[j].ok += 1;
            acc[j].sum += a;
          }
          if (agreement_at(f, bits.data(), bit, x - sx, y - sy, z - sz, r, maps.k[j], ec, a)) {
            acc[j].ok += 1;
            acc[j].sum += a;
          }
        }
      }
    }
  });
  for (std::size_t run = 0; run < runs; ++run)
    for (std::size_t j = 0; j < nm; ++j) {
      const SumCounts& p = partial[run * nm + j];
      out[j].sum += p.sum;
      out[j].ok += p.ok;
      out[j].attempted += p.attempted;
    }
  return out;
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
  const Mat3 identity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  return score_maps(directions, voxels, mask, dims, step, {identity})[0];
}

std::vector<SumCounts> coherence_sums(const std::vector<Vec3>& directions,
                                      const std::vector<std::size_t>& voxels, const Mask& mask,
                                      const GridDims& dims, double step,
                                      const std::vector<Mat3>& maps) {
  if (maps.size() > max_coherence_maps) {
    // More maps than one presence word holds: score them in groups.
    std::vector<SumCounts> out;
    for (std::size_t b = 0; b < maps.size(); b += max_coherence_maps) {
      const std::vector<Mat3> group(maps.begin() + static_cast<std::ptrdiff_t>(b),
                                    maps.begin() + static_cast<std::ptrdiff_t>(std::min(maps.size(), b + max_coherence_maps)));
      const auto part = score_maps(directions, voxels, mask, dims, step, group);
      out.insert(out.end(), part.begin(), part.end());
    }
    return out;
  }
  return score_maps(directions, voxels, mask, dims, step, maps);
}

}  // namespace orivex
