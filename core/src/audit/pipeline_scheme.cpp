// The table-only report builder and the per-shell volume counts.
#include "orivex/analysis/angular.hpp"
#include "orivex/audit/pipeline.hpp"
#include "orivex/analysis/shell.hpp"

namespace orivex {

Report scheme_report(const GradientTable& table, std::vector<InputFile> inputs,
                     const AuditParams& params) {
  Report report = Report::create(SchemeTable{table.bvecs(), table.bvals()});
  report.inputs = std::move(inputs);

  ShellSummary shells;
  shells.b0_threshold = params.b0_threshold;
  shells.tolerance = params.tolerance;
  shells.shells = detect_shells(table.bvals(), params.b0_threshold, params.tolerance);
  shells.b0 = b0_summary(table.bvals(), params.b0_threshold);
  shells.non_integer_bvals = non_integer_bvals(table.bvals(), non_integer_tolerance);
  report.shells = std::move(shells);

  report.angular =
      analyze(table, params.b0_threshold, params.tolerance, params.duplicate_angle_deg);
  report.norm_stats = table.norm_stats(params.b0_threshold, params.norm_tolerance);
  return report;
}

std::vector<ShellCount> shell_counts(const std::vector<double>& bvals, double b0_threshold,
                                     double tolerance) {
  std::vector<ShellCount> counts;
  for (const Shell& s : detect_shells(bvals, b0_threshold, tolerance))
    counts.push_back({s.nominal_b, s.count});
  return counts;
}

}  // namespace orivex
