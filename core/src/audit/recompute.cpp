// b-value recovery: rewrite b-values from direction lengths, then write the table like a repair.
#include "orivex/audit/recompute.hpp"

#include <cmath>
#include <utility>

#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/repair.hpp"
#include "orivex/support/json_writer.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

void write_counts(JsonWriter& w, const std::vector<ShellCount>& counts) {
  w.begin_array();
  for (const ShellCount& c : counts) {
    w.begin_object();
    w.member("nominal_b", c.nominal_b);
    w.member("count", c.count);
    w.end_object();
  }
  w.end_array();
}

}  // namespace

Result<RecomputeOutput> recompute_bval(const GradientTable& table,
                                       const std::vector<InputFile>& inputs,
                                       const RecomputeSpec& request, double b0_threshold,
                                       double tolerance) {
  ORIVEX_TRY(check_distinct_outputs(request));
  if (request.provenance) ORIVEX_TRY(check_not_input(*request.provenance, inputs));

  ORIVEX_ASSIGN(RecoveredBvals recovered, table.recover_bvals(b0_threshold));
  RecomputeOutput out;
  out.b_nominal = recovered.b_nominal;
  out.max_norm = recovered.max_norm;
  out.before = shell_counts(table.bvals(), b0_threshold, tolerance);
  out.after = shell_counts(recovered.table.bvals(), b0_threshold, tolerance);
  bool any = false;
  for (double b : recovered.table.bvals()) {
    if (!(b > b0_threshold)) continue;  // NaN is never above the threshold
    out.b_min = any ? std::fmin(out.b_min, b) : b;
    out.b_max = any ? std::fmax(out.b_max, b) : b;
    any = true;
  }
  out.table = std::move(recovered.table);
  if (request.dry_run) return out;

  ORIVEX_ASSIGN(WrittenOutputs written,
                write_outputs(request, out.table, out.table, [&](const auto& outputs) {
                  Provenance record = Provenance::create(inputs).with_outputs(outputs);
                  record.notes.push_back(
                      "recompute-bval: recovered b-values from amplitude-encoded bvecs "
                      "(b_nominal=" + numfmt::fixed(out.b_nominal, 0) +
                      ", max |g|=" + numfmt::fixed(out.max_norm, 4) +
                      "); directions unit-normalized.");
                  return record;
                }));
  out.outputs = std::move(written.outputs);
  out.backups = std::move(written.backups);
  return out;
}

std::string recompute_summary_json(const RecomputeOutput& out) {
  JsonWriter w;
  w.begin_object();
  w.member("b_nominal", out.b_nominal);
  w.member("max_norm", out.max_norm);
  w.member("b_min", out.b_min);
  w.member("b_max", out.b_max);
  w.key("before");
  write_counts(w, out.before);
  w.key("after");
  write_counts(w, out.after);
  w.key("outputs");
  w.array(out.outputs);
  w.end_object();
  return std::move(w).str();
}

}  // namespace orivex
