// The verdict: the flip stage that gathers both kinds of evidence, the decision rule, and the
// report sections that show them.
#include "orivex/audit/verdict.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "orivex/support/json_writer.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex {

namespace {

using Clock = std::chrono::steady_clock;
using numfmt::fixed;

std::string percent(double fraction) { return fixed(100.0 * fraction, 1) + "%"; }
std::string mm(double v) { return fixed(v, 1) + " mm"; }

// What the stage hands back besides the report's flip section.
struct StageData {
  TrackingResult tracking;
  Verdict verdict;
  VerdictTimings timings;
  std::optional<QcData> qc;
};

// Coherence in the caller's mask counts only the voxels that carry a fibre direction: a
// whole-brain mask otherwise averages grey matter and CSF into the score.
void restrict_to_fibres(FittedMask& fm, double fa_threshold) {
  const TensorField& f = fm.field;
  const std::size_t n = std::min({fm.wm_mask.size(), f.valid.size(), f.fa.size()});
  fm.wm_mask.resize(n);
  std::size_t count = 0;
  double fa_sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool keep = fm.wm_mask[i] && f.valid[i] && f.fa[i] >= fa_threshold;
    fm.wm_mask[i] = keep ? 1 : 0;
    if (keep) {
      ++count;
      fa_sum += f.fa[i];
    }
  }
  fm.n_wm_voxels = count;
  fm.mask_mean_fa = count > 0 ? fa_sum / static_cast<double>(count) : 0.0;
}

QcData qc_data(const TensorField& field, const Mask& region, const std::vector<Seed>& seeds,
               const Mat3& frame_map, const TrackingGeometry& geometry,
               const VerdictParams& vp, const Verdict& verdict) {
  QcData qc;
  qc.dims = field.dims;
  qc.fa = field.fa;
  qc.region = region;
  const std::vector<Seed> shown(seeds.begin(),
                                seeds.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min(vp.qc_tracks, seeds.size())));
  const Candidate& other = verdict.best.candidate.is_identity ? verdict.runner_up.candidate
                                                              : verdict.best.candidate;
  const Candidate given = all_candidates().front();
  for (const Candidate* c : {&given, &other}) {
    const Mat3 k = multiply(frame_map, c->matrix);
    qc.tracks.push_back(QcTracks{c->label, c->matrix,
                                 trace_tracks(field, region, shown, k, geometry, vp.tracking)});
  }
  return qc;
}

Result<StagedFlip> verdict_stage(const FloatArray& dwi, const GradientTable& table,
                                 const Mask* mask, const AuditParams& params,
                                 const VerdictParams& vp, StageData& out) {
  Shell shell;
  if (params.shell) {
    ORIVEX_ASSIGN(shell, pick_shell(table.bvals(), params.b0_threshold, params.tolerance,
                                    *params.shell));
  } else {
    ORIVEX_ASSIGN(shell, select_working_shell(table, params.flip.b0_threshold,
                                              params.flip.tolerance));
  }
  const double t = vp.margin_threshold;
  if (!(std::isfinite(t) && t > 0.0 && t <= 1.0)) return Error::invalid_margin(t);

  const auto fit_start = Clock::now();
  // The QC picture shows FA everywhere.
  FlipParams flip = params.flip;
  flip.whole_field = flip.whole_field || vp.qc_tracks > 0;
  ORIVEX_ASSIGN(FittedMask fm, fit_and_mask(dwi, table, mask, shell, flip));
  if (mask != nullptr) {
    restrict_to_fibres(fm, params.flip.fa_threshold);
    if (fm.n_wm_voxels == 0) return Error::tensor_fit("no WM voxels above the FA threshold");
  }
  const auto fit_end = Clock::now();
  FlipResult coherence = assemble_result(
      rank_candidates(fm.field, fm.wm_mask, params.flip.frame_map, params.flip.step),
      fm.n_wm_voxels, shell.nominal_b, fm.mask_mean_fa, params.flip.margin_threshold);
  const auto rank_end = Clock::now();

  const Mask region = tracking_region(fm.field, mask);
  std::size_t eligible = 0;
  const std::vector<Seed> seeds = draw_seeds(fm.field, region, vp.tracking, &eligible);
  const TrackingGeometry geometry =
      TrackingGeometry::from_voxel_sizes(vp.voxel_sizes, vp.tracking.step_fraction);
  out.tracking = score_candidates(fm.field, region, seeds, params.flip.frame_map, geometry,
                                  vp.tracking);
  out.tracking.seed_voxels = eligible;
  out.tracking.region_from_mask = mask != nullptr;
  const auto track_end = Clock::now();

  const double largest = std::max({geometry.voxel_mm[0], geometry.voxel_mm[1], geometry.voxel_mm[2]});
  out.verdict = decide(out.tracking, coherence, t, vp.min_track_voxels * largest);
  out.timings = VerdictTimings{Duration::between(fit_start, fit_end),
                               Duration::between(fit_end, rank_end),
                               Duration::between(rank_end, track_end)};
  if (vp.qc_tracks > 0)
    out.qc = qc_data(fm.field, region, seeds, params.flip.frame_map, geometry, vp, out.verdict);

  StagedFlip staged;
  staged.status = out.verdict.decision;
  staged.flip.result = std::move(coherence);
  staged.flip.timings = DetectTimings{out.timings.fit, out.timings.coherence};
  return staged;
}

Result<VerdictOutcome> run_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                        const Mask* mask, std::vector<InputFile> inputs,
                                        const AuditParams& params, const VerdictParams& vp,
                                        bool scheme) {
  StageData data;
  const FlipStage stage = [&](const FloatArray& d, const GradientTable& g, const Mask* m,
                              const AuditParams& p) { return verdict_stage(d, g, m, p, vp, data); };
  ORIVEX_ASSIGN(PipelineOutcome o,
                run_pipeline(table, &dwi, mask, std::move(inputs), params,
                             {.scheme = scheme, .timings = true, .flip_stage = stage}));
  return VerdictOutcome{std::move(o.report), std::move(data.tracking), std::move(data.verdict),
                        data.timings, std::move(data.qc)};
}

void write_candidate(JsonWriter& w, const TrackingScore& s) {
  w.begin_object();
  w.member("label", s.candidate.label);
  w.key("matrix");
  write_json(w, s.candidate.matrix);
  w.member("mean_length_mm", s.mean_length_mm);
  w.end_object();
}

void write_tracking(JsonWriter& w, const TrackingResult& t) {
  w.begin_object();
  w.key("candidates").begin_array();
  for (const TrackingScore& s : t.ranking) write_candidate(w, s);
  w.end_array();
  w.member("seeds", t.seeds);
  w.member("seed_voxels", t.seed_voxels);
  w.member("step_mm", t.step_mm);
  w.member("region_voxels", t.region_voxels);
  w.member("region", t.region_from_mask ? "mask" : "otsu");
  w.end_object();
}

void write_verdict(JsonWriter& w, const Verdict& v) {
  w.begin_object();
  w.member("decision", decision_name(v.decision));
  w.key("recommended_label");
  if (v.recommended_label) w.value(*v.recommended_label);
  else w.null();
  w.key("recommended_transform");
  if (v.recommended_transform) write_json(w, *v.recommended_transform);
  else w.null();
  w.member("relative_margin", v.relative_margin);
  w.member("given_rank", v.given_rank);
  w.key("evidence").begin_object();
  w.member("decided_by", "tracking");
  w.member("margin_threshold", v.margin_threshold);
  w.key("best");
  write_candidate(w, v.best);
  w.key("runner_up");
  write_candidate(w, v.runner_up);
  w.member("given_mean_length_mm", v.given_mean_length_mm);
  w.key("coherence").begin_object();
  w.member("decision", decision_name(v.coherence_decision));
  w.member("best", v.coherence_best);
  w.member("agrees", v.coherence_agrees);
  w.end_object();
  w.end_object();
  w.key("reasons").array(v.reasons);
  w.end_object();
}

template <class T>
std::string compact(void (*write)(JsonWriter&, const T&), const T& value) {
  JsonWriter w;
  write(w, value);
  return std::move(w).str();
}

// `"name": value` as a member of a pretty object's top level: the value's own pretty text, one
// level deeper (strings hold no raw line feeds, so every line feed is a line of the layout).
template <class T>
void append_pretty_member(std::string& text, const char* name,
                          void (*write)(JsonWriter&, const T&), const T& value) {
  JsonWriter w(JsonWriter::Layout::Pretty);
  write(w, value);
  const std::string inner = std::move(w).str();
  text += ",\n  \"";
  text += name;
  text += "\": ";
  for (char c : inner) {
    text += c;
    if (c == '\n') text += "  ";
  }
}

}  // namespace

Verdict decide(const TrackingResult& tracking, const FlipResult& coherence,
               double margin_threshold, double min_length_mm) {
  Verdict v;
  v.margin_threshold = margin_threshold;
  v.coherence_decision = coherence.decision;
  v.coherence_best = coherence.best.label;
  const std::vector<TrackingScore>& r = tracking.ranking;
  if (r.empty()) {
    v.reasons.push_back("tracking scored no candidate");
    return v;
  }
  v.best = r[0];
  v.runner_up = r.size() > 1 ? r[1] : r[0];
  const double best = v.best.mean_length_mm;
  v.relative_margin = best > 0.0 ? (best - v.runner_up.mean_length_mm) / best : 0.0;
  for (std::size_t i = 0; i < r.size(); ++i)
    if (r[i].candidate.is_identity) {
      v.given_rank = i + 1;
      v.given_mean_length_mm = r[i].mean_length_mm;
    }
  v.coherence_agrees = antipodal_or_equal(coherence.best.matrix, v.best.candidate.matrix);
  const bool coherence_flags_other =
      coherence.decision == Decision::FLAG && coherence.recommended_transform &&
      !antipodal_or_equal(*coherence.recommended_transform, v.best.candidate.matrix);

  v.reasons.push_back("tracking: " + v.best.candidate.label + " gives the longest tracks (mean " +
                      mm(best) + "), " + percent(v.relative_margin) + " ahead of " +
                      v.runner_up.candidate.label + " (" + mm(v.runner_up.mean_length_mm) + ")");
  v.reasons.push_back("the table as given ranks " + std::to_string(v.given_rank) + " of " +
                      std::to_string(r.size()) + " (mean " + mm(v.given_mean_length_mm) + ")");
  const std::string threshold = fixed(100.0 * margin_threshold, 1) + "%";
  if (tracking.seeds == 0) {
    v.reasons.push_back("no voxel of the tracking region is anisotropic enough to seed a track: "
                        "the image gives no tracking evidence");
  } else if (!(best >= min_length_mm)) {
    v.reasons.push_back("the longest tracks average under " + mm(min_length_mm) +
                        " (a few voxels): the image shows too little fibre structure to judge by");
  } else if (!(v.relative_margin >= margin_threshold)) {
    v.reasons.push_back("the margin is below the " + threshold +
                        " threshold: too thin to decide; look at the QC figure");
  } else if (coherence_flags_other) {
    v.reasons.push_back("coherence on its own would FLAG " +
                        coherence.recommended_label.value_or(coherence.best.label) +
                        ", a different correction: check the QC figure before trusting either");
  } else if (v.best.candidate.is_identity) {
    v.decision = Decision::PASS;
    v.reasons.push_back("the table as given wins by at least the " + threshold + " threshold");
  } else {
    v.decision = Decision::FLAG;
    v.recommended_label = v.best.candidate.label;
    v.recommended_transform = v.best.candidate.matrix;
    v.reasons.push_back(v.best.candidate.label + " wins by at least the " + threshold +
                        " threshold: it corrects the table");
  }
  v.reasons.push_back("coherence (shown beside): " + std::string(decision_name(coherence.decision)) +
                      ", best " + coherence.best.label + " by " +
                      percent(coherence.relative_margin) +
                      (v.coherence_agrees ? ", the same axes" : ", other axes"));
  return v;
}

Result<VerdictOutcome> audit_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params,
                                          const VerdictParams& verdict_params) {
  return run_with_verdict(table, dwi, mask, std::move(inputs), params, verdict_params, true);
}

Result<VerdictOutcome> detect_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                           const Mask* mask, std::vector<InputFile> inputs,
                                           const AuditParams& params,
                                           const VerdictParams& verdict_params) {
  return run_with_verdict(table, dwi, mask, std::move(inputs), params, verdict_params, false);
}

Result<VerdictRepair> repair_with_verdict(const GradientTable& table, const FloatArray& dwi,
                                          const Mask* mask, std::vector<InputFile> inputs,
                                          const AuditParams& params,
                                          const VerdictParams& verdict_params,
                                          const RepairSpec& request) {
  // Refused before the audit, as the plain repair does.
  ORIVEX_TRY(check_distinct_outputs(request));
  std::vector<InputFile> audit_inputs = inputs;
  ORIVEX_ASSIGN(VerdictOutcome o, audit_with_verdict(table, dwi, mask, std::move(audit_inputs),
                                                     params, verdict_params));
  const Verdict& v = o.verdict;
  if (!o.report.flip) return VerdictRepair{std::move(o), std::nullopt, {}};

  // repair_from_report applies the recommendation of the flip section it is handed, so it gets
  // the coherence result with the verdict's decision and correction; the report keeps the
  // coherence result as measured.
  const FlipResult coherence = *o.report.flip;
  FlipResult decided = coherence;
  decided.decision = v.decision;
  decided.recommended_label = v.recommended_label;
  decided.recommended_transform = v.recommended_transform;
  const bool forced = request.force_repair && v.decision == Decision::WARN &&
                      !v.best.candidate.is_identity;
  if (forced) {
    decided.recommended_label = v.best.candidate.label;
    decided.recommended_transform = v.best.candidate.matrix;
  }
  o.report.flip = std::move(decided);
  RepairSpec applied = request;
  applied.force_repair = false;  // a forced choice is already the recommendation above
  // The record keeps the evidence as measured: the coherence result, then the tracking and the
  // verdict that chose the correction.
  const auto amend = [&](Provenance& record) {
    record.flip = coherence;
    record.sections = {{"tracking", [&](JsonWriter& w) { write_tracking(w, o.tracking); }},
                       {"verdict", [&](JsonWriter& w) { write_verdict(w, v); }}};
  };
  ORIVEX_ASSIGN(RepairOutput out, repair_from_report(table, std::move(o.report), inputs, applied,
                                                     verdict_params.margin_threshold, amend));
  out.report.flip = coherence;
  if (forced && out.report.repair)
    out.report.notes.push_back(
        "repair force-applied on a WARN verdict (--force-repair); tracking margin " +
        fixed(v.relative_margin * 100.0, 2) + "% is below the " +
        fixed(verdict_params.margin_threshold * 100.0, 0) + "% auto-repair threshold — verify "
        "the result.");
  o.report = std::move(out.report);
  return VerdictRepair{std::move(o), std::move(out.table), std::move(out.backups)};
}

std::string to_json(const VerdictOutcome& outcome) {
  std::string text = orivex::to_json(outcome.report);
  // The report is one object; its last character closes it, and the two sections follow its keys.
  text.pop_back();
  text += ",\"tracking\":" + compact(write_tracking, outcome.tracking) +
          ",\"verdict\":" + compact(write_verdict, outcome.verdict) + "}";
  return text;
}

std::string to_pretty_json(const VerdictOutcome& outcome) {
  std::string text = orivex::to_pretty_json(outcome.report);
  // The report's object closes with a line feed and its brace; the two sections go before them.
  text.resize(text.size() - 2);
  append_pretty_member(text, "tracking", write_tracking, outcome.tracking);
  append_pretty_member(text, "verdict", write_verdict, outcome.verdict);
  text += "\n}";
  return text;
}

}  // namespace orivex
