// b-value recovery: rewrite b-values from direction lengths, then write the table like a repair.
#include "orivex/audit/recompute.hpp"

#include <cmath>
#include <utility>

#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/provenance.hpp"
#include "orivex/audit/repair.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"
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

Result<void> prepare_into(const std::string& path, bool in_place,
                          std::vector<std::string>& backups) {
  ORIVEX_ASSIGN(std::optional<std::string> backup, prepare_output(path, in_place));
  if (backup) backups.push_back(std::move(*backup));
  return {};
}

}  // namespace

Result<RecomputeOutput> recompute_bval(const GradientTable& table,
                                       const std::vector<InputFile>& inputs,
                                       const RecomputeSpec& request, double b0_threshold,
                                       double tolerance) {
  ORIVEX_TRY(check_distinct_outputs(request.out_bvec, request.out_bval, request.out_grad,
                                    request.provenance));

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

  // Both FSL paths are moved aside before either is written, so a refusal leaves every file
  // as it was and a later failure leaves each original under its backup name.
  ORIVEX_TRY(prepare_into(request.out_bvec, request.in_place, out.backups));
  ORIVEX_TRY(prepare_into(request.out_bval, request.in_place, out.backups));
  ORIVEX_TRY(write_file_replacing(request.out_bvec, io::fsl::render_bvec(out.table)));
  ORIVEX_TRY(write_file_replacing(request.out_bval, io::fsl::render_bval(out.table)));
  out.outputs.push_back(path_str(request.out_bvec));
  out.outputs.push_back(path_str(request.out_bval));
  if (request.out_grad) {
    ORIVEX_TRY(prepare_into(*request.out_grad, request.in_place, out.backups));
    ORIVEX_TRY(write_file_replacing(*request.out_grad, io::mrtrix::render(out.table)));
    out.outputs.push_back(path_str(*request.out_grad));
  }
  if (request.provenance) {
    Provenance record = Provenance::create(inputs).with_outputs(out.outputs);
    record.notes.push_back("recompute-bval: recovered b-values from amplitude-encoded bvecs "
                           "(b_nominal=" + numfmt::fixed(out.b_nominal, 0) +
                           ", max |g|=" + numfmt::fixed(out.max_norm, 4) +
                           "); directions unit-normalized.");
    ORIVEX_TRY(io::provenance::write(*request.provenance, record));
  }
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
