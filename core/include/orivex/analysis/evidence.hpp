// How far the tracking evidence can be trusted: the spread of the margin between the best
// candidate and every other one, measured from the seeds themselves, and what the region covers.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "orivex/analysis/tracking.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

// Seeds whose tracks may share a bundle are not independent samples: the spread is measured
// between cubes of this edge (a typical bundle's cross-section and a short track's length), so
// neighbouring seeds count once together.
inline constexpr double default_spread_block_mm = 15.0;

struct MarginSpread {
  double lead_mm = 0.0;       // mean per-seed lead of the best over the closest candidate
  double lead_se_mm = 0.0;    // its standard error
  double z = 0.0;             // lead / standard error against the closest candidate
  std::size_t closest = 0;    // rank (0-based, in the ranking) of that closest candidate
  std::size_t blocks = 0;     // cubes holding seeds
};

// The best candidate (ranking[0]) against each other one: the per-seed differences of track
// length, their mean, and a cluster-robust standard error over cubes of `block_mm`. The closest
// candidate is the one with the smallest lead / standard error (an infinite ratio when the
// difference does not vary; 0 when the lead is not positive).
MarginSpread margin_spread(const TrackingResult& tracking, const std::vector<Seed>& seeds,
                           const std::array<std::size_t, 3>& dims, const Vec3& voxel_mm,
                           double block_mm = default_spread_block_mm);

// The extent of a region: its bounding box in millimetres, and the axes along which the region
// reaches both faces of the grid with a substantial part of its cross-section (the field of
// view cuts the anatomy: a slab, a cord).
struct Coverage {
  Vec3 extent_mm{};
  std::array<bool, 3> cut{};
  bool partial() const { return cut[0] || cut[1] || cut[2]; }
};
Coverage region_coverage(const Mask& region, const std::array<std::size_t, 3>& dims,
                         const Vec3& voxel_mm);

}  // namespace orivex
