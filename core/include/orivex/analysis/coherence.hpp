// Fibre coherence of a corrected direction field: how well directions agree a step along
// themselves.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "orivex/support/execution.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

using GridDims = std::array<std::size_t, 3>;

// Minimum length of a direction that is treated as present.
inline constexpr double min_direction_norm = 1e-9;

// Over the listed voxels (voxel numbering), steps `step` voxels forwards and backwards along each
// corrected direction and sums the agreement |sample · e|. Returns the sum, the samples found
// (`ok`) and the samples tried (`attempted`, two per voxel with a present direction). Runs on
// the current call's pool; only reads its inputs. The sum is the same bit for bit whatever the
// number of workers.
SumCounts coherence_sum(const std::vector<Vec3>& directions,
                        const std::vector<std::size_t>& voxels, const Mask& mask,
                        const GridDims& dims, double step);

// coherence_sum of the field corrected by each map in turn (a direction e becomes K·e unless it
// is too short to be present), for all maps in one pass over the voxels. Each result is the same
// bit for bit whatever the number of workers.
inline constexpr std::size_t max_coherence_maps = 32;
std::vector<SumCounts> coherence_sums(const std::vector<Vec3>& directions,
                                      const std::vector<std::size_t>& voxels, const Mask& mask,
                                      const GridDims& dims, double step,
                                      const std::vector<Mat3>& maps);

// Trilinear interpolation of the direction field at `point` (voxel coordinates) over the corners
// inside the grid and the mask, each corner turned towards `reference` first. Absent when no
// corner contributes or the average has no length; otherwise a unit vector.
std::optional<Vec3> sample(const std::vector<Vec3>& directions, const Mask& mask,
                           const GridDims& dims, const Vec3& point, const Vec3& reference);

}  // namespace orivex
