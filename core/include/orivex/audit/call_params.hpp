// The parameter block of one call, filled from its options and, with a DWI, from the image.
#pragma once

#include <optional>

#include "orivex/audit/pipeline.hpp"
#include "orivex/io/volume.hpp"

namespace orivex {

inline constexpr double default_tolerance = 0.05;
inline constexpr double default_duplicate_angle_deg = 5.0;
inline constexpr double default_min_signal = 1.0;
inline constexpr double default_fa_threshold = 0.2;

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

// Without an image: the flip block keeps step 1.0 and the identity frame map, which the
// table-only path never reads.
AuditParams table_audit_params(const CallOptions& options);

// With an image: the frame map carries the table's frame (world for a grad table, FSL
// otherwise) into the voxel grid, and an absent step becomes the default step of the grid.
AuditParams image_audit_params(const CallOptions& options, const VolumeInfo& info,
                               bool world_frame);

}  // namespace orivex
