// Deterministic tensor tracking under each candidate correction. With the wrong axes a track turns
// off its bundle and stops early; summed over whole tracks this evidence is far less local than
// the one-step coherence, which is why tracking-based gradient checks work on clinical scans
// (Jeurissen et al. 2014, Med Image Anal 18:953, "Automated correction of improperly rotated
// diffusion gradient orientations in diffusion weighted MRI").
#include "orivex/analysis/tracking.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <numbers>

#include "orivex/analysis/coherence.hpp"
#include "orivex/analysis/flip.hpp"
#include "orivex/support/execution.hpp"
#include "orivex/support/mat3.hpp"

namespace orivex {

namespace {

// Everything one track step reads, fixed for a call.
class Walker {
 public:
  Walker(const TensorField& field, const Mask& region, const TrackingGeometry& geometry,
         const TrackingParams& params)
      : evecs_(field.evecs.data()), dims_(field.dims), step_(geometry.step_mm) {
    const std::size_t n = std::min({field.evecs.size(), field.fa.size(), region.size()});
    trackable_.assign(field.evecs.size(), 0);
    parallel_for(n, [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i)
        trackable_[i] = region[i] && field.fa[i] >= params.stop_fa &&
                        norm(field.evecs[i]) >= min_direction_norm;
    });
    for (int a = 0; a < 3; ++a) per_mm_[a] = 1.0 / geometry.voxel_mm[a];
    cos_turn_ = std::cos(params.max_turn_deg * std::numbers::pi / 180.0);
    const double steps = std::floor(params.max_half_length_mm / geometry.step_mm);
    max_steps_ = steps >= 1.0 && steps < 1e7 ? static_cast<std::size_t>(steps) : 0;
  }

  // The unit direction of voxel `v` under `k`, or false when it has none.
  bool direction(std::size_t v, const Mat3& k, Vec3& out) const {
    const Vec3& e = evecs_[v];
    out = {k[0][0] * e[0] + k[0][1] * e[1] + k[0][2] * e[2],
           k[1][0] * e[0] + k[1][1] * e[1] + k[1][2] * e[2],
           k[2][0] * e[0] + k[2][1] * e[1] + k[2][2] * e[2]};
    const double n = norm(out);
    if (!(n >= min_direction_norm)) return false;
    for (double& c : out) c /= n;
    return true;
  }

  // Steps from `p` along `d` until a stopping rule fires; returns the steps taken and calls
  // visit(point) after each. Steps are h mm long, so per voxel axis h·d/size voxels.
  template <class Visit>
  std::size_t half(Vec3 p, Vec3 d, const Mat3& k, Visit&& visit) const {
    std::size_t steps = 0;
    while (steps < max_steps_) {
      Vec3 q{};
      std::size_t idx[3];
      for (int a = 0; a < 3; ++a) {
        q[a] = p[a] + step_ * d[a] * per_mm_[a];
        // The nearest voxel centre; the comparisons also stop on NaN.
        if (!(q[a] >= -0.5 && q[a] < static_cast<double>(dims_[a]) - 0.5)) return steps;
        idx[a] = static_cast<std::size_t>(std::floor(q[a] + 0.5));
      }
      const std::size_t v = (idx[0] * dims_[1] + idx[1]) * dims_[2] + idx[2];
      if (!trackable_[v]) return steps;
      Vec3 e{};
      if (!direction(v, k, e)) return steps;
      double c = e[0] * d[0] + e[1] * d[1] + e[2] * d[2];
      if (c < 0.0) {  // eigenvectors have no sign: keep going the way we came
        for (double& x : e) x = -x;
        c = -c;
      }
      if (c < cos_turn_) return steps;
      p = q;
      d = e;
      ++steps;
      visit(p);
    }
    return steps;
  }

 private:
  const Vec3* evecs_;
  std::array<std::size_t, 3> dims_;
  std::vector<std::uint8_t> trackable_;
  Vec3 per_mm_{};
  double step_;
  double cos_turn_ = 0.5;
  std::size_t max_steps_ = 0;
};

}  // namespace

std::uint64_t SplitMix64::next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t SplitMix64::below(std::uint64_t n) {
  // 2^64 mod n values at the bottom are rejected so every residue is equally likely.
  const std::uint64_t reject = (0 - n) % n;
  for (;;) {
    const std::uint64_t x = next();
    if (x >= reject) return x % n;
  }
}

double SplitMix64::unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

TrackingGeometry TrackingGeometry::from_voxel_sizes(const Vec3& voxel_sizes, double step_fraction) {
  TrackingGeometry g;
  for (int a = 0; a < 3; ++a) {
    const double s = voxel_sizes[a];
    g.voxel_mm[a] = std::isfinite(s) && s > 0.0 ? s : 1.0;
  }
  g.step_mm = step_fraction * std::min({g.voxel_mm[0], g.voxel_mm[1], g.voxel_mm[2]});
  return g;
}

Mask tracking_region(const TensorField& field, const Mask* mask) {
  if (mask == nullptr) {
    // The white-matter proxy at FA 0 is exactly "valid fit and mean b0 above the Otsu threshold"
    // (Otsu 1979, IEEE Trans Syst Man Cybern 9:62, "A threshold selection method from gray-level
    // histograms").
    return field.wm_proxy(0.0);
  }
  const std::size_t n = std::min(mask->size(), field.valid.size());
  Mask region(n, 0);
  for (std::size_t i = 0; i < n; ++i) region[i] = (*mask)[i] && field.valid[i] ? 1 : 0;
  return region;
}

namespace {

// A region voxel with a valid fit, FA at or above `seed_fa` and a direction.
bool seedable(const TensorField& field, const Mask& region, std::size_t v, double seed_fa) {
  return region[v] && field.valid[v] && field.fa[v] >= seed_fa &&
         norm(field.evecs[v]) >= min_direction_norm;
}

// Region voxels with a valid fit, FA at or above the seed FA and a direction, ascending.
std::vector<std::size_t> seed_pool(const TensorField& field, const Mask& region,
                                   const TrackingParams& params) {
  const std::size_t n = std::min({region.size(), field.fa.size(), field.valid.size(),
                                  field.evecs.size()});
  // The tests on the pool, the list in ascending order after them.
  std::vector<std::uint8_t> eligible_voxel(n, 0);
  parallel_for(n, [&](std::size_t b, std::size_t e) {
    for (std::size_t i = b; i < e; ++i)
      eligible_voxel[i] = seedable(field, region, i, params.seed_fa);
  });
  std::vector<std::size_t> pool;
  for (std::size_t i = 0; i < n; ++i)
    if (eligible_voxel[i]) pool.push_back(i);
  return pool;
}

// `count` of `pool` without replacement (partial Fisher-Yates), then one jitter per axis for
// each in the order drawn.
std::vector<Seed> draw_from(std::vector<std::size_t>& pool, std::size_t count, SplitMix64& rng,
                            const std::array<std::size_t, 3>& dims) {
  count = std::min(count, pool.size());
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t j = k + static_cast<std::size_t>(rng.below(pool.size() - k));
    std::swap(pool[k], pool[j]);
  }
  const std::size_t ny = dims[1], nz = dims[2];
  std::vector<Seed> seeds(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t v = pool[k];
    const Vec3 centre{static_cast<double>(v / (ny * nz)), static_cast<double>((v / nz) % ny),
                      static_cast<double>(v % nz)};
    seeds[k].voxel = v;
    for (int a = 0; a < 3; ++a) seeds[k].point[a] = centre[a] + rng.unit() - 0.5;
  }
  return seeds;
}

}  // namespace

std::vector<Seed> draw_seeds(const TensorField& field, const Mask& region,
                             const TrackingParams& params, std::size_t* eligible) {
  std::vector<std::size_t> pool = seed_pool(field, region, params);
  if (eligible != nullptr) *eligible = pool.size();
  SplitMix64 rng(params.rng_seed);
  return draw_from(pool, params.seeds, rng, field.dims);
}

std::vector<Seed> draw_more_seeds(const TensorField& field, const Mask& region,
                                  const TrackingParams& params, const std::vector<Seed>& drawn,
                                  std::size_t more) {
  std::vector<std::size_t> pool = seed_pool(field, region, params);
  std::vector<std::size_t> taken;
  taken.reserve(drawn.size());
  for (const Seed& s : drawn) taken.push_back(s.voxel);
  std::sort(taken.begin(), taken.end());
  std::erase_if(pool, [&](std::size_t v) { return std::binary_search(taken.begin(), taken.end(), v); });
  SplitMix64 rng(params.rng_seed ^ 0x5eed5eed5eed5eedULL);
  return draw_from(pool, more, rng, field.dims);
}

Mask upper_seed_region(const TensorField& field, const Mask& region, double seed_fa) {
  const std::size_t nx = field.dims[0], ny = field.dims[1], nz = field.dims[2];
  const std::size_t n = std::min({region.size(), field.fa.size(), field.valid.size(),
                                  field.evecs.size(), nx * ny * nz});
  std::vector<double> score(n, -1.0);  // -1: not seedable
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) {
      if (!seedable(field, region, v, seed_fa)) continue;
      const std::size_t at[3] = {v / (ny * nz), (v / nz) % ny, v % nz};
      const Vec3& e = field.evecs[v];
      const double ne = norm(e);
      double sum = 0.0;
      int count = 0;
      for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
          for (int dz = -1; dz <= 1; ++dz) {
            // Unsigned wrap-around sends a step below 0 past the extent.
            const std::size_t x = at[0] + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(dx));
            const std::size_t y = at[1] + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(dy));
            const std::size_t z = at[2] + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(dz));
            if ((dx == 0 && dy == 0 && dz == 0) || x >= nx || y >= ny || z >= nz) continue;
            const std::size_t u = (x * ny + y) * nz + z;
            if (u >= n || !region[u] || !field.valid[u]) continue;
            const Vec3& f = field.evecs[u];
            const double nf = norm(f);
            if (!(nf >= min_direction_norm)) continue;
            sum += std::fabs(e[0] * f[0] + e[1] * f[1] + e[2] * f[2]) / (nf * ne);
            ++count;
          }
      score[v] = count > 0 ? field.fa[v] * sum / count : 0.0;  // FA times the agreement
    }
  });
  std::vector<double> values;
  for (double x : score)
    if (x >= 0.0) values.push_back(x);
  Mask out(region.size(), 0);
  if (values.empty()) return out;
  const auto mid = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
  std::nth_element(values.begin(), mid, values.end());
  for (std::size_t v = 0; v < n; ++v) out[v] = score[v] >= *mid ? 1 : 0;
  return out;
}

std::vector<Candidate> distinct_candidates() {
  std::vector<Candidate> out;
  for (Candidate& c : all_candidates()) {
    const bool seen = std::any_of(out.begin(), out.end(), [&](const Candidate& d) {
      return antipodal_or_equal(d.matrix, c.matrix);
    });
    if (!seen) out.push_back(std::move(c));
  }
  return out;
}

TrackingResult score_candidates(const TensorField& field, const Mask& region,
                                const std::vector<Seed>& seeds, const Mat3& frame_map,
                                const TrackingGeometry& geometry, const TrackingParams& params) {
  const std::vector<Candidate> candidates = distinct_candidates();
  const std::size_t nc = candidates.size();
  std::vector<Mat3> maps(nc);
  for (std::size_t c = 0; c < nc; ++c) maps[c] = multiply(frame_map, candidates[c].matrix);

  const Walker walker(field, region, geometry, params);
  // Whole step counts: integer sums come out the same however the seeds are split.
  std::vector<std::atomic<std::uint64_t>> steps(nc);
  TrackingResult r;
  r.seed_steps.assign(seeds.size() * nc, 0);
  parallel_for(seeds.size(), [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint64_t> local(nc, 0);
    for (std::size_t s = begin; s < end; ++s) {
      const Seed& seed = seeds[s];
      for (std::size_t c = 0; c < nc; ++c) {
        Vec3 d{};
        if (!walker.direction(seed.voxel, maps[c], d)) continue;
        const Vec3 back{-d[0], -d[1], -d[2]};
        const std::size_t n = walker.half(seed.point, d, maps[c], [](const Vec3&) {}) +
                              walker.half(seed.point, back, maps[c], [](const Vec3&) {});
        r.seed_steps[s * nc + c] = static_cast<std::uint32_t>(n);
        local[c] += n;
      }
    }
    for (std::size_t c = 0; c < nc; ++c) steps[c].fetch_add(local[c], std::memory_order_relaxed);
  });

  r.seeds = seeds.size();
  r.region_voxels = static_cast<std::size_t>(
      std::count_if(region.begin(), region.end(), [](std::uint8_t m) { return m != 0; }));
  r.step_mm = geometry.step_mm;
  r.ranking.reserve(nc);
  for (std::size_t c = 0; c < nc; ++c) {
    const double mean = seeds.empty() ? 0.0
                                      : static_cast<double>(steps[c].load()) * geometry.step_mm /
                                            static_cast<double>(seeds.size());
    r.ranking.push_back(TrackingScore{candidates[c], mean, c});
  }
  std::stable_sort(r.ranking.begin(), r.ranking.end(),
                   [](const TrackingScore& a, const TrackingScore& b) {
                     return a.mean_length_mm > b.mean_length_mm;
                   });
  return r;
}

std::vector<double> mean_track_lengths(const TensorField& field, const Mask& region,
                                       const std::vector<Seed>& seeds,
                                       const std::vector<Mat3>& maps,
                                       const TrackingGeometry& geometry,
                                       const TrackingParams& params) {
  const std::size_t nc = maps.size();
  const Walker walker(field, region, geometry, params);
  // Whole step counts, as in score_candidates.
  std::vector<std::atomic<std::uint64_t>> steps(nc);
  parallel_for(seeds.size(), [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint64_t> local(nc, 0);
    for (std::size_t s = begin; s < end; ++s)
      for (std::size_t c = 0; c < nc; ++c) {
        Vec3 d{};
        if (!walker.direction(seeds[s].voxel, maps[c], d)) continue;
        const Vec3 back{-d[0], -d[1], -d[2]};
        local[c] += walker.half(seeds[s].point, d, maps[c], [](const Vec3&) {}) +
                    walker.half(seeds[s].point, back, maps[c], [](const Vec3&) {});
      }
    for (std::size_t c = 0; c < nc; ++c) steps[c].fetch_add(local[c], std::memory_order_relaxed);
  });
  std::vector<double> out(nc, 0.0);
  for (std::size_t c = 0; c < nc && !seeds.empty(); ++c)
    out[c] = static_cast<double>(steps[c].load()) * geometry.step_mm /
             static_cast<double>(seeds.size());
  return out;
}

void absorb(TrackingResult& into, const TrackingResult& more) {
  const std::size_t nc = into.ranking.size();
  if (nc == 0 || more.ranking.size() != nc) return;
  into.seed_steps.insert(into.seed_steps.end(), more.seed_steps.begin(), more.seed_steps.end());
  into.seeds += more.seeds;
  std::vector<TrackingScore> by_column(nc);
  for (const TrackingScore& s : into.ranking) by_column[s.column] = s;
  std::vector<std::uint64_t> steps(nc, 0);
  for (std::size_t i = 0; i < into.seed_steps.size(); ++i) steps[i % nc] += into.seed_steps[i];
  for (std::size_t c = 0; c < nc; ++c)
    by_column[c].mean_length_mm = into.seeds == 0 ? 0.0
                                                  : static_cast<double>(steps[c]) * into.step_mm /
                                                        static_cast<double>(into.seeds);
  std::stable_sort(by_column.begin(), by_column.end(),
                   [](const TrackingScore& a, const TrackingScore& b) {
                     return a.mean_length_mm > b.mean_length_mm;
                   });
  into.ranking = std::move(by_column);
}

std::vector<std::vector<Vec3>> trace_tracks(const TensorField& field, const Mask& region,
                                            const std::vector<Seed>& seeds, const Mat3& transform,
                                            const TrackingGeometry& geometry,
                                            const TrackingParams& params) {
  const Walker walker(field, region, geometry, params);
  std::vector<std::vector<Vec3>> tracks(seeds.size());
  parallel_for(seeds.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t s = begin; s < end; ++s) {
      const Seed& seed = seeds[s];
      std::vector<Vec3>& line = tracks[s];
      Vec3 d{};
      if (!walker.direction(seed.voxel, transform, d)) continue;
      walker.half(seed.point, Vec3{-d[0], -d[1], -d[2]}, transform,
                  [&](const Vec3& p) { line.push_back(p); });
      std::reverse(line.begin(), line.end());
      line.push_back(seed.point);
      walker.half(seed.point, d, transform, [&](const Vec3& p) { line.push_back(p); });
    }
  });
  return tracks;
}

}  // namespace orivex
