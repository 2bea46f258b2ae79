// The pipelines that turn a loaded table, an optional DWI and an optional mask into a Report.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/flip.hpp"
#include "orivex/analysis/shell.hpp"
#include "orivex/audit/report.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/defaults.hpp"
#include "orivex/support/error.hpp"

namespace orivex {

struct AuditParams {
  std::optional<double> shell;
  double b0_threshold = default_b0_threshold;
  double tolerance = default_tolerance;
  double duplicate_angle_deg = default_duplicate_angle_deg;
  FlipParams flip;
  double norm_tolerance = default_norm_tolerance;
  bool strict = false;
};

// A flip-detection stage supplied by the caller: the flip result it returns fills the report's
// `flip` section, and `status` sets the report's status (before the scheme findings may raise it).
struct StagedFlip {
  FlipOutcome flip;
  Decision status = Decision::PASS;
};
using FlipStage = std::function<Result<StagedFlip>(const FloatArray& dwi, const GradientTable& table,
                                                   const Mask* mask, const AuditParams& params)>;

// Which pipeline runs and what comes back beside its report.
struct PipelineRequest {
  bool scheme = true;    // the audit (scheme analysis, b0 drift, findings); false: detection only
  bool timings = false;  // the flip detection's stage durations
  bool glyphs = false;   // the flip detection's fitted field and mask
  // Replaces the built-in flip detection (same steps, checks and notes around it); a stage keeps
  // any other data it produces itself.
  FlipStage flip_stage = nullptr;
};

struct PipelineOutcome {
  Report report;
  DetectTimings timings;            // zero unless asked for
  std::optional<GlyphData> glyphs;  // absent unless asked for (and an image was given)
};

// The one pipeline behind every audit and detection. The table is checked against the volume
// and the mask before any analysis; without a volume the audit is the table-only audit.
Result<PipelineOutcome> run_pipeline(const GradientTable& table, const FloatArray* dwi,
                                     const Mask* mask, std::vector<InputFile> inputs,
                                     const AuditParams& params, PipelineRequest request = {});

// The report alone: the full audit, and the flip detection only.
Result<Report> audit(const GradientTable& table, const FloatArray* dwi, const Mask* mask,
                     std::vector<InputFile> inputs, const AuditParams& params);
Result<Report> detect(const GradientTable& table, const FloatArray& dwi, const Mask* mask,
                      std::vector<InputFile> inputs, const AuditParams& params);

// Table-only report: table copy, inputs, shells, angular coverage, norm statistics.
Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs,
                     const AuditParams& params);
B0Drift compute_drift(const FloatArray& dwi, const GradientTable& table, const Mask* mask,
                      double b0_threshold);
void note_low_mask_fa(Report& report);
std::vector<ShellCount> shell_counts(const std::vector<double>& bvals, double b0_threshold,
                                     double tolerance);
// Display text of a path (invalid UTF-8 replaced by U+FFFD).
std::string path_str(const std::string& path);

}  // namespace orivex
