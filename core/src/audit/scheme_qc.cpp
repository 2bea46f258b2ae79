// Scheme-quality findings, strict promotion and the amplitude gate.
#include "orivex/audit/scheme_qc.hpp"

#include <cmath>

#include "orivex/support/numfmt.hpp"

namespace orivex::scheme_qc {
namespace {

using numfmt::fixed;

// The condition number of the DTI design bounds how much the fit amplifies noise (Skare et al.
// 2000, J. Magn. Reson. 147:340); the bands at 10 and 50 are ours.
constexpr double condition_elevated = 10.0;
constexpr double condition_very_high = 50.0;
// b0 signal drift over a session biases diffusion estimates if left uncorrected (Vos et al.
// 2017, Magn. Reson. Med. 77:285); the bands at 5% and 10% are ours.
constexpr double drift_noted = 0.05;
constexpr double drift_large = 0.1;

std::string shell_prefix(const ShellAngular& s) { return "shell b=" + fixed(s.nominal_b, 0) + ": "; }

void shell_findings(const ShellAngular& s, double duplicate_angle_deg,
                    std::vector<Finding>& out) {
  const std::string prefix = shell_prefix(s);
  bool check_condition = true;
  if (s.meets_dti_minimum) {
    if (!s.meets_dti_recommended)
      out.push_back({prefix + std::to_string(s.count) + " directions, below the recommended " +
                         std::to_string(dti_recommended_directions) + " for a robust DTI fit",
                     false});
    if (!s.condition_number) {
      out.push_back(
          {prefix + "DTI design matrix is rank-deficient (degenerate gradient directions)", true});
      check_condition = false;
    }
  } else {
    // Too few directions already explains a missing condition number; no second note for it.
    out.push_back({prefix + std::to_string(s.count) + " directions, below the DTI minimum of " +
                       std::to_string(dti_minimum_directions) +
                       " — the tensor fit is underdetermined",
                   true});
    if (!s.condition_number) check_condition = false;
  }
  if (check_condition && s.condition_number) {
    const double v = *s.condition_number;
    if (v >= condition_very_high)
      out.push_back({prefix + "DTI design-matrix condition number " + fixed(v, 1) +
                         " is very high (ill-conditioned scheme)",
                     true});
    else if (v >= condition_elevated)
      out.push_back({prefix + "DTI design-matrix condition number " + fixed(v, 1) + " is elevated",
                     false});
  }
  if (!s.duplicates.empty()) {
    std::size_t antipodal = 0;
    for (const DuplicatePair& p : s.duplicates)
      if (p.antipodal) ++antipodal;
    out.push_back({prefix + std::to_string(antipodal) + " antipodal + " +
                       std::to_string(s.duplicates.size() - antipodal) +
                       " near-duplicate direction pair(s) within " + fixed(duplicate_angle_deg, 1) +
                       "°",
                   false});
  }
}

}  // namespace

std::vector<Finding> findings(const Report& report) {
  std::vector<Finding> out;
  if (report.angular)
    for (const ShellAngular& s : report.angular->shells)
      shell_findings(s, report.angular->duplicate_angle_deg, out);
  if (report.shells && !report.shells->non_integer_bvals.empty())
    out.push_back({std::to_string(report.shells->non_integer_bvals.size()) +
                       " volume(s) have non-integer b-values (ramp sampling or rounding)",
                   false});
  if (report.b0_drift) {
    const double r = report.b0_drift->relative_drift;
    // NaN fails both comparisons: an unmeasurable drift is not reported as one.
    if (r >= drift_large)
      out.push_back({"b0 signal drift is large (" + fixed(100.0 * r, 1) +
                         "% peak-to-peak) — check scanner stability",
                     true});
    else if (r >= drift_noted)
      out.push_back({"b0 signal drift is " + fixed(100.0 * r, 1) + "% peak-to-peak", false});
  }
  return out;
}

Result<Report> apply(Report report, bool strict) {
  bool any_severe = false;
  for (Finding& f : findings(report)) {
    any_severe = any_severe || f.severe;
    report.notes.push_back(std::move(f.message));
  }
  if (strict && any_severe && report.status == Status::PASS) {
    report.notes.emplace_back("strict: severe scheme-quality issue(s) promoted status PASS → WARN");
    report.status = Status::WARN;
  }
  return amplitude_gate(std::move(report), strict);
}

Result<Report> amplitude_gate(Report report, bool strict) {
  if (!report.norm_stats) return report;
  const NormStats& n = *report.norm_stats;
  if (n.non_b0_count == 0 || !(n.non_unit_fraction > amplitude_fraction_limit)) return report;
  // Directions that carry the gradient amplitude in their length mean the b-values were scaled
  // elsewhere; rewriting them is a deliberate, separate step, never an automatic repair.
  std::string message = fixed(100.0 * n.non_unit_fraction, 0) +
                        "% of non-b0 directions are not unit-length (norm " + fixed(n.norm_min, 3) +
                        "–" + fixed(n.norm_max, 3) + ", mean " + fixed(n.norm_mean, 3) +
                        "; tol " + fixed(100.0 * n.tolerance, 0) +
                        "%) — likely amplitude-encoded bvecs: the b-values cannot be trusted and "
                        "orivex will not auto-correct them; recover explicitly with `orivex "
                        "recompute-bval`.";
  if (strict) return Error::amplitude_encoded(std::move(message));
  report.notes.push_back(std::move(message));
  if (report.status == Status::PASS) report.status = Status::WARN;
  return report;
}

}  // namespace orivex::scheme_qc
