// NIfTI-1 volumes as 32-bit float arrays with their header information; masks; masked means.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orivex/support/error.hpp"
#include "orivex/io/gradient.hpp"

struct nifti_1_header;  // the NIfTI library stays inside volume.cpp

namespace orivex {

using Mat4 = std::array<std::array<double, 4>, 4>;

// One byte per voxel of a 3-D grid (voxel numbering: (x·ny + y)·nz + z), 1 inside, 0 outside.
using Mask = std::vector<std::uint8_t>;

struct VolumeInfo {
  std::vector<std::size_t> dims;  // dim[1..ndim]
  Vec3 voxel_sizes{};             // pixdim[1..3]
  Mat4 affine{};                  // voxel (i, j, k, 1) to world millimetres
  std::size_t n_volumes = 1;
};

// A dense array of 32-bit floats in logical row-major order (last axis fastest): a 4-D DWI is
// indexed (x, y, z, volume), so the signals of one voxel are contiguous.
struct FloatArray {
  std::vector<std::size_t> shape;
  std::vector<float> data;

  std::size_t ndim() const { return shape.size(); }
  std::size_t extent(std::size_t axis) const { return axis < shape.size() ? shape[axis] : 1; }
  // nx·ny·nz of the first three axes (absent axes count as 1).
  std::size_t grid_voxels() const { return extent(0) * extent(1) * extent(2); }
  // Number of entries along all axes after the third (1 for a 3-D array).
  std::size_t inner() const {
    std::size_t n = 1;
    for (std::size_t a = 3; a < shape.size(); ++a) n *= shape[a];
    return n;
  }
  // Value of voxel `v` (voxel numbering) in volume `t` of a 4-D array.
  float at(std::size_t v, std::size_t t) const { return data[v * inner() + t]; }
};

struct LoadedVolume {
  FloatArray array;
  VolumeInfo info;
};

struct Duration {
  std::int64_t secs = 0;
  std::uint32_t nanos = 0;
  double seconds() const { return static_cast<double>(secs) + static_cast<double>(nanos) / 1e9; }
  // Zero when `end` lies before `start`.
  static Duration between(std::chrono::steady_clock::time_point start,
                          std::chrono::steady_clock::time_point end);
};

struct TimedVolume {
  LoadedVolume volume;
  Duration decompress;
  Duration convert;
};

// Grid dimensions, voxel sizes and affine (sform, else qform with qfac, else pixdim) of a header
// in native byte order; refuses dim[0] outside 1..7 and empty axes.
Result<VolumeInfo> from_header(const ::nifti_1_header& header);

// Missing files, damaged streams, headers that promise more data than the file holds and data
// types without a real-valued reading all fail with a Nifti error; nothing is allocated for the
// data before the header has been checked against the file size.
Result<LoadedVolume> read_volume_with_info(const std::string& path);
Result<TimedVolume> read_volume_with_info_timed(const std::string& path);
// 3-D or 4-D arrays (first volume of 4-D); other dimensionalities are refused.
Result<Mask> read_mask(const std::string& path);

Mask mask_from_volume(const FloatArray& array);
double masked_mean(const float* values, std::size_t n, const Mask* mask);
// One masked mean per requested volume, in the order requested (parallel over the indices).
std::vector<double> mean_for_volumes(const FloatArray& array,
                                     const std::vector<std::size_t>& volumes, const Mask* mask);

}  // namespace orivex
