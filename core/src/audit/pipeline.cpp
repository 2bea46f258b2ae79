// The audit and detect pipelines: the fixed order of checks, analyses and notes behind a Report.
#include "orivex/audit/pipeline.hpp"

#include <cmath>
#include <utility>

#include "orivex/io/file.hpp"
#include "orivex/support/numfmt.hpp"
#include "orivex/audit/scheme_qc.hpp"

namespace orivex {

namespace {

// What a caller wants from the one pipeline behind all six entry points.
struct Wanted {
  bool scheme = true;  // table analysis, drift and findings (the audit family)
  bool timings = false;
  bool glyphs = false;
};

std::size_t volume_count(const FloatArray& dwi) { return dwi.ndim() > 3 ? dwi.shape[3] : 1; }

// Both checks come before any analysis so a mismatched call never costs a tensor fit; the
// volume count is checked first, so a call with both faults names the volumes.
Result<void> check_inputs(const GradientTable& table, const FloatArray& dwi, const Mask* mask) {
  std::size_t volumes = volume_count(dwi);
  if (table.size() != volumes) return Error::volume_mismatch(table.size(), volumes);
  if (mask != nullptr && mask->size() != dwi.grid_voxels())
    return Error::mask_mismatch(mask->size(), dwi.grid_voxels());
  return {};
}

Status status_of(Decision d) {
  switch (d) {
    case Decision::PASS: return Status::PASS;
    case Decision::WARN: return Status::WARN;
    case Decision::FLAG: return Status::FLAG;
  }
  return Status::PASS;
}

Result<PipelineOutcome> run_pipeline(const GradientTable& table, const FloatArray* dwi,
                                     const Mask* mask, std::vector<InputFile> inputs,
                                     const AuditParams& params, Wanted wanted) {
  if (dwi != nullptr) ORIVEX_TRY(check_inputs(table, *dwi, mask));

  Report report;
  if (wanted.scheme) {
    report = scheme_report(table, std::move(inputs), params);
  } else {
    report = Report::create(SchemeTable{table.bvecs(), table.bvals()});
    report.inputs = std::move(inputs);
  }

  PipelineOutcome out{};
  if (dwi != nullptr) {
    if (wanted.scheme) report.b0_drift = compute_drift(*dwi, table, mask, params.b0_threshold);
    ORIVEX_ASSIGN(FlipOutcome flip, run_flip(*dwi, table, mask, params));
    report.status = status_of(flip.result.decision);
    report.flip = std::move(flip.result);
    note_low_mask_fa(report);
    if (wanted.timings) out.timings = flip.timings;
    if (wanted.glyphs) out.glyphs = std::move(flip.glyphs);
  }

  if (wanted.scheme) {
    ORIVEX_ASSIGN(report, scheme_qc::apply(std::move(report), params.strict));
  }
  out.report = std::move(report);
  return out;
}

Result<Report> report_only(Result<PipelineOutcome> r) {
  if (!r) return std::move(r).error();
  return std::move(r->report);
}

}  // namespace

Result<Report> audit(const GradientTable& table, const FloatArray* dwi, const Mask* mask,
                     std::vector<InputFile> inputs, const AuditParams& params) {
  return report_only(run_pipeline(table, dwi, mask, std::move(inputs), params, {}));
}

Result<PipelineOutcome> audit_timed(const GradientTable& table, const FloatArray& dwi,
                                    const Mask* mask, std::vector<InputFile> inputs,
                                    const AuditParams& params) {
  return run_pipeline(table, &dwi, mask, std::move(inputs), params,
                      {.scheme = true, .timings = true, .glyphs = false});
}

Result<PipelineOutcome> audit_with_glyphs(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params) {
  return run_pipeline(table, &dwi, mask, std::move(inputs), params,
                      {.scheme = true, .timings = false, .glyphs = true});
}

Result<PipelineOutcome> audit_timed_with_glyphs(const GradientTable& table, const FloatArray& dwi,
                                                const Mask* mask, std::vector<InputFile> inputs,
                                                const AuditParams& params) {
  return run_pipeline(table, &dwi, mask, std::move(inputs), params,
                      {.scheme = true, .timings = true, .glyphs = true});
}

Result<Report> detect(const GradientTable& table, const FloatArray& dwi, const Mask* mask,
                      std::vector<InputFile> inputs, const AuditParams& params) {
  return report_only(run_pipeline(table, &dwi, mask, std::move(inputs), params,
                                  {.scheme = false, .timings = false, .glyphs = false}));
}

Result<PipelineOutcome> detect_with_glyphs(const GradientTable& table, const FloatArray& dwi,
                                           const Mask* mask, std::vector<InputFile> inputs,
                                           const AuditParams& params) {
  return run_pipeline(table, &dwi, mask, std::move(inputs), params,
                      {.scheme = false, .timings = false, .glyphs = true});
}

Result<FlipOutcome> run_flip(const FloatArray& dwi, const GradientTable& table, const Mask* mask,
                             const AuditParams& params) {
  if (!params.shell) return run_detection(dwi, table, mask, params.flip, nullptr);
  ORIVEX_ASSIGN(Shell shell, pick_shell(table.bvals(), params.b0_threshold, params.tolerance,
                                        *params.shell));
  return run_detection(dwi, table, mask, params.flip, &shell);
}

Result<Shell> pick_shell(const std::vector<double>& bvals, double b0_threshold, double tolerance,
                         double requested_b) {
  std::optional<Shell> kept;
  double kept_distance = 0.0;
  for (Shell& s : detect_shells(bvals, b0_threshold, tolerance)) {
    if (s.is_b0) continue;
    double d = std::abs(s.nominal_b - requested_b);
    // Strictly nearer only: on a tie the earlier (smaller-b) shell stays.
    if (!kept || d < kept_distance) {
      kept_distance = d;
      kept = std::move(s);
    }
  }
  if (!kept) return Error::no_usable_shell();
  return std::move(*kept);
}

B0Drift compute_drift(const FloatArray& dwi, const GradientTable& table, const Mask* mask,
                      double b0_threshold) {
  std::vector<std::size_t> indices = table.b0_indices(b0_threshold);
  std::vector<double> means = mean_for_volumes(dwi, indices, mask);
  return b0_drift(indices, means);
}

void note_low_mask_fa(Report& report) {
  if (!report.flip) return;
  double fa = report.flip->mask_mean_fa;
  // A whole-brain mask averages grey matter and CSF into the coherence score, which flattens
  // the ranking; only a positive FA below 0.3 says that happened (0 means no mask was scored).
  if (!(fa > 0.0 && fa < 0.3)) return;
  report.notes.push_back("coherence mask mean FA " + numfmt::fixed(fa, 2) +
                         " is low (looks whole-brain) — flip-detection sensitivity is reduced; "
                         "supply a WM mask (FA-thresholded) for a wider margin");
}

std::string path_str(const std::string& path) { return io::lossy_utf8(path); }

}  // namespace orivex
