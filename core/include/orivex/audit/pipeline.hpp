// The pipelines that turn a loaded table, an optional DWI and an optional mask into a Report.
#pragma once

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

// What a timed or glyph variant returns beside its report.
struct PipelineOutcome {
  Report report;
  DetectTimings timings;
  std::optional<GlyphData> glyphs;
};

// Table-only report: table copy, inputs, shells, angular coverage, norm statistics.
Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs,
                     const AuditParams& params);

// Full audit; without a volume, the table-only audit (scheme analysis and findings).
Result<Report> audit(const GradientTable& table, const FloatArray* dwi, const Mask* mask,
                     std::vector<InputFile> inputs, const AuditParams& params);
Result<PipelineOutcome> audit_timed(const GradientTable& table, const FloatArray& dwi,
                                    const Mask* mask, std::vector<InputFile> inputs,
                                    const AuditParams& params);
Result<PipelineOutcome> audit_with_glyphs(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params);
Result<PipelineOutcome> audit_timed_with_glyphs(const GradientTable& table, const FloatArray& dwi,
                                                const Mask* mask, std::vector<InputFile> inputs,
                                                const AuditParams& params);
// Flip detection only.
Result<Report> detect(const GradientTable& table, const FloatArray& dwi, const Mask* mask,
                      std::vector<InputFile> inputs, const AuditParams& params);
Result<PipelineOutcome> detect_with_glyphs(const GradientTable& table, const FloatArray& dwi,
                                           const Mask* mask, std::vector<InputFile> inputs,
                                           const AuditParams& params);

// Flip detection on the requested shell (pick_shell) or, without one, on the automatic choice.
// Timings and glyphs come back with every run; callers keep what they want.
Result<FlipOutcome> run_flip(const FloatArray& dwi, const GradientTable& table, const Mask* mask,
                             const AuditParams& params);

Result<Shell> pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance,
                         double requested_b);
B0Drift compute_drift(const FloatArray& dwi, const GradientTable& table, const Mask* mask,
                      double b0_threshold);
void note_low_mask_fa(Report& report);
std::vector<ShellCount> shell_counts(const std::vector<double>& bvals, double b0_threshold,
                                     double tolerance);
// Display text of a path (invalid UTF-8 replaced by U+FFFD).
std::string path_str(const std::string& path);

}  // namespace orivex
