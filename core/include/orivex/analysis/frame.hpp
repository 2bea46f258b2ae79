// The voxel, world and FSL frames of an image and the 3x3 maps that carry directions between them.
#pragma once

#include <cstdint>

#include "orivex/io/gradient.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

// The frame a table was read in: Fsl for a bvec/bval pair, World for an MRtrix grad file.
enum class TableFrame : std::uint8_t { Fsl, World };

// A NIfTI error when the affine's 3x3 part holds NaN or an infinity: such an image has no frame
// to place the table in, and maps built from it would turn a correct table into a FLAG.
Result<void> check_affine(const VolumeInfo& info);

// W when `world`, otherwise F: the map from the table's frame into the voxel frame.
Mat3 voxel_frame_map(const VolumeInfo& info, bool world);

// True when the affine has a positive determinant and more than one of its columns points
// mainly along a negative world axis.
bool frames_divergent(const VolumeInfo& info);

// -1.0 for a negative determinant (or -0.0), +1.0 for a positive one (or +0.0), NaN for NaN.
double affine_determinant_sign(const VolumeInfo& info);

struct FrameMaps {
  Mat3 fsl_voxel_map{};    // F: FSL frame to voxel frame
  Mat3 world_voxel_map{};  // W: world frame to voxel frame
  double affine_determinant_sign = 1.0;
  TableFrame table_frame = TableFrame::Fsl;
  bool divergent = false;

  static FrameMaps resolve(TableFrame frame, const VolumeInfo& info);
  // F·S, S being the table frame's map into the voxel frame.
  Mat3 to_fsl() const;
  // Wᵀ·S; not orthogonalised, so a sheared affine shows through.
  Mat3 to_world() const;
};

}  // namespace orivex
