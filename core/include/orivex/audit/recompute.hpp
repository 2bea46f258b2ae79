// b-value recovery for tables whose direction lengths carry the gradient amplitude.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/shell.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/support/error.hpp"

namespace orivex {

struct RecomputeSpec {
  std::string out_bvec;
  std::string out_bval;
  std::optional<std::string> out_grad;
  std::optional<std::string> provenance;
  bool dry_run = false;
  bool in_place = false;
};

struct RecomputeOutput {
  std::vector<ShellCount> before;
  std::vector<ShellCount> after;
  std::vector<std::string> outputs;  // paths written, in write order
  double b_nominal = 0.0;
  double max_norm = 0.0;
  double b_min = 0.0;
  double b_max = 0.0;
  GradientTable table;
  std::vector<std::string> backups;  // in the order they were made
};

// Recovers b = b_nominal·(|g|/|g|max)² with unit directions and writes the table. Outputs that
// name the same file are refused before anything is written. On disk after a failure: backups
// already made stay (every replaced original is recoverable from its .bak name), outputs
// completed before the failing one stay, the failing output is absent, and the provenance
// record is absent unless its own write failed (then it may be partial).
Result<RecomputeOutput> recompute_bval(const GradientTable& table,
                                       const std::vector<InputFile>& inputs,
                                       const RecomputeSpec& request, double b0_threshold,
                                       double tolerance);

// The compact summary returned to the caller: b_nominal, max_norm, b_min, b_max, before, after,
// outputs, in that order.
std::string recompute_summary_json(const RecomputeOutput& out);

}  // namespace orivex
