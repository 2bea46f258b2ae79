// NIfTI-1 volumes as arrays of samples that read as 32-bit floats, with their header
// information; masks; masked means.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
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

// Leaves new elements of a trivial type uninitialised (copies still copy). The loader writes
// every value of a series, and zero-filling gigabytes first would be a pass over memory it
// cannot hide behind the decompression.
template <class T>
struct UninitAllocator : std::allocator<T> {
  using value_type = T;
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using FloatData = std::vector<float, UninitAllocator<float>>;
using NarrowData = std::vector<std::uint16_t, UninitAllocator<std::uint16_t>>;

// How an array holds its samples: as 32-bit floats, or as the file's own integers of up to 16
// bits (widened to 16, native byte order), each of which a 32-bit float holds exactly. A series
// stored as integers then takes half the memory, and the header's scaling is applied, in the
// same 32-bit arithmetic a conversion on load would use, as each sample is read.
enum class SampleKind : std::uint8_t { Float32, Int16, UInt16 };

struct SampleScale {
  bool on = false;
  float slope = 1.0f;
  float inter = 0.0f;
};

// A dense array in logical row-major order (last axis fastest) whose samples read as 32-bit
// floats: a 4-D DWI is indexed (x, y, z, volume), so the signals of one voxel are contiguous.
// Read the samples through value(), at() or voxel(); `data` holds them only for Float32.
struct FloatArray {
  FloatArray() = default;
  // An array of floats.
  FloatArray(std::vector<std::size_t> shape_, FloatData data_)
      : shape(std::move(shape_)), data(std::move(data_)) {}

  std::vector<std::size_t> shape;
  FloatData data;
  SampleKind kind = SampleKind::Float32;
  NarrowData narrow;  // the samples of the integer kinds
  SampleScale scale;  // applied to the integer kinds

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
  // Samples held (0 for an array with a shape but no values).
  std::size_t size() const { return kind == SampleKind::Float32 ? data.size() : narrow.size(); }
  // Bytes the samples take.
  std::size_t bytes() const {
    return kind == SampleKind::Float32 ? data.size() * sizeof(float) : narrow.size() * sizeof(std::uint16_t);
  }
  // Sample `i` in memory order.
  float value(std::size_t i) const {
    switch (kind) {
      case SampleKind::Int16: return scaled(static_cast<float>(static_cast<std::int16_t>(narrow[i])));
      case SampleKind::UInt16: return scaled(static_cast<float>(narrow[i]));
      case SampleKind::Float32: break;
    }
    return data[i];
  }
  // Value of voxel `v` (voxel numbering) in volume `t` of a 4-D array.
  float at(std::size_t v, std::size_t t) const { return value(v * inner() + t); }
  // The inner() samples of voxel `v`: in place for Float32, else converted into `scratch`,
  // which has room for inner() floats.
  const float* voxel(std::size_t v, float* scratch) const;
  // Every sample, converted (tests and small arrays).
  std::vector<float> values() const;

 private:
  float scaled(float v) const {
    if (!scale.on) return v;
    const float s = scale.slope * v;
    return s + scale.inter;
  }
};

// What a load is for and how much it may take.
struct LoadOptions {
  // A mask: only 3-D and 4-D images are accepted, and of a 4-D one only the first volume is read.
  bool mask = false;
  // The number of volumes the caller's table has. When the header holds another count the voxel
  // data are not read at all: the result carries the header's information and an array with
  // its shape but no values, which the pipelines refuse with the volume mismatch before they
  // touch any voxel.
  std::optional<std::size_t> expected_volumes;
  // Bytes the array may take. Absent: the memory the machine has available now.
  std::optional<std::uint64_t> memory_budget;
  // Whether a large compressed series inflates in pieces on the pool's workers. Absent: where it
  // pays, from three workers on as many processors, or on two for a file of 96 MiB or more.
  std::optional<bool> inflate_in_pieces;
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

// Missing files, damaged or truncated gzip streams (each gzip member read is checked against
// its CRC-32 and length), headers that promise more data than the file holds or a float array
// larger than the memory budget, and data types without a real-valued reading all fail with a
// Nifti error; nothing is allocated for the data before the header has passed these checks, and
// no more of a gzip stream is inflated than the header's data needs.
Result<LoadedVolume> read_volume_with_info(const std::string& path, const LoadOptions& options = {});
Result<TimedVolume> read_volume_with_info_timed(const std::string& path,
                                                const LoadOptions& options = {});
// 3-D or 4-D arrays (first volume of 4-D); other dimensionalities are refused. `options.mask`
// is implied.
Result<Mask> read_mask(const std::string& path, LoadOptions options = {});

// A mask with what its header says about it: how it fits the image it is given with.
struct MaskImage {
  Mask mask;
  VolumeInfo info;
  std::size_t nan_voxels = 0;  // of its first volume; they count as inside
};
Result<MaskImage> read_mask_image(const std::string& path, LoadOptions options = {});

// Bytes of memory the machine can give a new allocation without swapping: MemAvailable, lowered
// to what a cgroup memory limit leaves; the physical memory when neither can be read; absent when
// nothing is known.
std::optional<std::uint64_t> available_memory();

Mask mask_from_volume(const FloatArray& array);
// Mean of the finite values inside the mask (all values without one); 0 when there are none.
double masked_mean(const float* values, std::size_t n, const Mask* mask);
// One masked mean per requested volume, in the order requested (parallel over the indices).
std::vector<double> mean_for_volumes(const FloatArray& array,
                                     const std::vector<std::size_t>& volumes, const Mask* mask);

}  // namespace orivex
