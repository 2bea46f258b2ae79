// The parameter block of one call, filled from its options and, with a DWI, from the image.
#pragma once

#include <optional>

#include "orivex/audit/pipeline.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/defaults.hpp"

namespace orivex {

// The numeric options every module function shares, as the caller gave them.
struct CallOptions {
  std::optional<double> shell;
  double b0_threshold = default_b0_threshold;
  double tolerance = default_tolerance;
  double norm_tolerance = default_norm_tolerance;
  bool strict = false;
  std::optional<double> step;
  double margin_threshold = default_margin_threshold;
};

// Coherence sampling step for a grid: about 4 mm along the mean voxel size, never below one
// voxel; 1.0 when the voxel sizes are unusable (zero, negative or NaN mean).
double default_step(const Vec3& voxel_sizes);
// The caller's step, else the default step of the image's grid.
double sampling_step(std::optional<double> step, const VolumeInfo& info);

// Without an image: the flip block keeps step 1.0 and the identity frame map, which the
// table-only path never reads.
AuditParams table_audit_params(const CallOptions& options);

// With an image: the frame map carries the table's frame (world for a grad table, FSL
// otherwise) into the voxel grid, and an absent step becomes the default step of the grid.
AuditParams image_audit_params(const CallOptions& options, const VolumeInfo& info,
                               bool world_frame);

}  // namespace orivex
