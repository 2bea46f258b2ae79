// b-value recovery for tables whose direction lengths carry the gradient amplitude.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/shell.hpp"
#include "orivex/audit/repair.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/support/error.hpp"

namespace orivex {

using RecomputeSpec = OutputSet;

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

// Recovers b = b_nominal·(|g|/|g|max)² with unit directions and writes the table as
// write_outputs does (after a failure every original is back under its own name). Outputs that
// name the same file, and a provenance path naming an input, are refused before anything is
// computed.
Result<RecomputeOutput> recompute_bval(const GradientTable& table,
                                       const std::vector<InputFile>& inputs,
                                       const RecomputeSpec& request, double b0_threshold,
                                       double tolerance);

// The compact summary returned to the caller: b_nominal, max_norm, b_min, b_max, before, after,
// outputs, in that order.
std::string recompute_summary_json(const RecomputeOutput& out);

}  // namespace orivex
