// Filling AuditParams for the table-only and the image paths.
#include "orivex/audit/call_params.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "orivex/analysis/frame.hpp"
#include "orivex/support/execution.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

Result<void> at_least_zero(const char* name, double v) {
  if (std::isfinite(v) && v >= 0.0) return {};
  return Error::invalid_option(name, "finite and at least 0", numfmt::shortest_plain(v));
}

Result<void> above_zero(const char* name, std::optional<double> v) {
  if (!v || (std::isfinite(*v) && *v > 0.0)) return {};
  return Error::invalid_option(name, "finite and above 0", numfmt::shortest_plain(*v));
}

}  // namespace

std::uint64_t max_threads() { return 4 * static_cast<std::uint64_t>(usable_processors()); }

Result<void> check_options(const CallOptions& o, const PackageOptions& p) {
  if (p.threads) {
    if (*p.threads == 0) return Error::invalid_threads();
    if (const std::uint64_t cap = max_threads(); *p.threads > cap) {
      return Error::invalid_option("threads", "at most " + std::to_string(cap) +
                                                  " (four per processor this process may use)");
    }
  }
  ORIVEX_TRY(at_least_zero("tolerance", o.tolerance));
  ORIVEX_TRY(at_least_zero("b0_threshold", o.b0_threshold));
  ORIVEX_TRY(above_zero("shell", o.shell));
  ORIVEX_TRY(above_zero("step", o.step));
  const double m = o.margin_threshold;
  if (!(std::isfinite(m) && m > 0.0 && m <= 1.0)) return Error::invalid_margin(m);
  ORIVEX_TRY(at_least_zero("norm_tolerance", o.norm_tolerance));
  // Counts carry no value: the second module reads a negative one as 0.
  if (p.seeds && *p.seeds == 0) return Error::invalid_option("seeds", "a positive integer");
  if (const auto v = p.verdict_margin; v && !(std::isfinite(*v) && *v > 0.0 && *v <= 1.0)) {
    return Error::invalid_option("verdict_margin", "finite and in (0, 1]",
                                 numfmt::shortest_plain(*v));
  }
  if (p.memory_limit && *p.memory_limit == 0) {
    return Error::invalid_option("memory_limit", "at least 1 byte");
  }
  return {};
}

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
