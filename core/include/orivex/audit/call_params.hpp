// The parameter block of one call, filled from its options and, with a DWI, from the image.
#pragma once

#include <cstdint>
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

// The options only the package's entry points take, as the caller gave them (absent: not given).
struct PackageOptions {
  std::optional<std::uint64_t> threads;
  std::optional<std::uint64_t> seeds;
  std::optional<double> verdict_margin;
  std::optional<std::uint64_t> memory_limit;
};

// The largest worker count a call may ask for: four per processor this process may run on.
// More threads than that only contend for the same processors, and each costs a stack.
std::uint64_t max_threads();

// The ranges the package's entry points (the second module, and through it the Python API and
// the command line) hold every option to, checked before any file is opened: tolerances and the
// b0 threshold finite and at least 0, shell and step finite and above 0, the margins finite and
// in (0, 1], seeds and the memory limit at least 1, threads from 1 to max_threads(). _orivex
// does not apply them: it reads any number the way its algorithms define.
Result<void> check_options(const CallOptions& options, const PackageOptions& package);

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
