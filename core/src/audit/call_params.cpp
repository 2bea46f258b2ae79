// Filling AuditParams for the table-only and the image paths.
#include "orivex/audit/call_params.hpp"

#include <algorithm>

#include "orivex/analysis/frame.hpp"

namespace orivex {

double default_step(const Vec3& voxel_sizes) {
  const double mean = (voxel_sizes[0] + voxel_sizes[1] + voxel_sizes[2]) / 3.0;
  // Written so that a NaN mean falls through to the one-voxel step.
  if (mean > 0.0) return std::max(4.0 / mean, 1.0);
  return 1.0;
}

double sampling_step(std::optional<double> step, const VolumeInfo& info) {
  return step ? *step : default_step(info.voxel_sizes);
}

AuditParams table_audit_params(const CallOptions& options) {
  AuditParams p;
  p.shell = options.shell;
  p.b0_threshold = options.b0_threshold;
  p.tolerance = options.tolerance;
  p.duplicate_angle_deg = default_duplicate_angle_deg;
  p.norm_tolerance = options.norm_tolerance;
  p.strict = options.strict;
  p.flip.b0_threshold = options.b0_threshold;
  p.flip.tolerance = options.tolerance;
  p.flip.min_signal = default_min_signal;
  p.flip.fa_threshold = default_fa_threshold;
  p.flip.step = 1.0;
  p.flip.margin_threshold = options.margin_threshold;
  p.flip.frame_map = identity3;
  return p;
}

AuditParams image_audit_params(const CallOptions& options, const VolumeInfo& info,
                               bool world_frame) {
  AuditParams p = table_audit_params(options);
  p.flip.frame_map = voxel_frame_map(info, world_frame);
  p.flip.step = sampling_step(options.step, info);
  return p;
}

}  // namespace orivex
