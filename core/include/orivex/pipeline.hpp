// The pipelines that turn a loaded table, an optional DWI and an optional mask into a Report.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "orivex/error.hpp"
#include "orivex/flip.hpp"
#include "orivex/gradient.hpp"
#include "orivex/io/provenance.hpp"
#include "orivex/report.hpp"
#include "orivex/shell.hpp"
#include "orivex/volume.hpp"

namespace orivex {

struct AuditParams {
  std::optional<double> shell;
  double b0_threshold = 50.0;
  double tolerance = 0.05;
  double duplicate_angle_deg = 5.0;
  FlipParams flip;
  double norm_tolerance = 0.05;
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

// A flip-detection stage supplied by the caller: the flip result it returns fills the report's
// `flip` section, and `status` sets the report's status (before the scheme findings may raise it).
struct StagedFlip {
  FlipOutcome flip;
  Decision status = Decision::PASS;
};
using FlipStage = std::function<Result<StagedFlip>(const FloatArray& dwi, const GradientTable& table,
                                                   const Mask* mask, const AuditParams& params)>;

// The audit (`scheme` true) or detect pipeline with its flip detection done by `stage`; same
// steps, checks and notes as the built-in pipelines. The outcome carries the stage's timings; a
// stage keeps any other data it produces itself.
Result<PipelineOutcome> run_pipeline_with(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params, bool scheme,
                                          const FlipStage& stage);

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
