// The audit and detect pipelines: the fixed order of checks, analyses and notes behind a Report.
#include "orivex/audit/pipeline.hpp"

#include <cmath>
#include <utility>

#include "orivex/audit/scheme_qc.hpp"
#include "orivex/io/file.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

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

// Flip detection on the requested shell or, without one, on the automatic choice.
Result<FlipOutcome> run_flip(const FloatArray& dwi, const GradientTable& table, const Mask* mask,
                             const AuditParams& params) {
  if (!params.shell) return run_detection(dwi, table, mask, params.flip, nullptr);
  ORIVEX_ASSIGN(Shell shell,
                pick_shell(table.bvals(), params.b0_threshold, params.tolerance, *params.shell));
  return run_detection(dwi, table, mask, params.flip, &shell);
}

}  // namespace

Result<PipelineOutcome> run_pipeline(const GradientTable& table, const FloatArray* dwi,
                                     const Mask* mask, std::vector<InputFile> inputs,
                                     const AuditParams& params, PipelineRequest request) {
  if (dwi != nullptr) ORIVEX_TRY(check_inputs(table, *dwi, mask));

  Report report;
  if (request.scheme) {
    report = scheme_report(table, std::move(inputs), params);
  } else {
    report = Report::create(SchemeTable{table.bvecs(), table.bvals()});
    report.inputs = std::move(inputs);
  }

  PipelineOutcome out{};
  if (dwi != nullptr) {
    // The glyphs show the whole fitted field.
    AuditParams flip_params = params;
    flip_params.flip.whole_field = flip_params.flip.whole_field || request.glyphs;
    if (request.scheme) report.b0_drift = compute_drift(*dwi, table, mask, params.b0_threshold);
    FlipOutcome flip;
    if (request.flip_stage) {
      ORIVEX_ASSIGN(StagedFlip staged, request.flip_stage(*dwi, table, mask, flip_params));
      flip = std::move(staged.flip);
      report.status = status_of(staged.status);
    } else {
      ORIVEX_ASSIGN(flip, run_flip(*dwi, table, mask, flip_params));
      report.status = status_of(flip.result.decision);
    }
    report.flip = std::move(flip.result);
    note_low_mask_fa(report);
    if (report.flip->best.n_samples == 0)
      report.notes.push_back("flip detection found no neighbouring fibre directions to compare "
                             "— the table could not be checked against the image");
    if (request.timings) out.timings = flip.timings;
    if (request.glyphs) out.glyphs = std::move(flip.glyphs);
  }

  if (request.scheme) {
    ORIVEX_ASSIGN(report, scheme_qc::apply(std::move(report), params.strict));
  }
  out.report = std::move(report);
  return out;
}

Result<Report> audit(const GradientTable& table, const FloatArray* dwi, const Mask* mask,
                     std::vector<InputFile> inputs, const AuditParams& params) {
  ORIVEX_ASSIGN(PipelineOutcome out, run_pipeline(table, dwi, mask, std::move(inputs), params));
  return std::move(out.report);
}

Result<Report> detect(const GradientTable& table, const FloatArray& dwi, const Mask* mask,
                      std::vector<InputFile> inputs, const AuditParams& params) {
  ORIVEX_ASSIGN(PipelineOutcome out,
                run_pipeline(table, &dwi, mask, std::move(inputs), params, {.scheme = false}));
  return std::move(out.report);
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
